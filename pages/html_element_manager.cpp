#include "html_element_manager.h"

#include "base/threadsanitizer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The most memory one photo may decode to, in MiB: a 48-megapixel photo in 32 bits fits,
// a decompression bomb does not. JPEG photos are decoded at a reduced size and need far
// less.
constexpr int ImageAllocationLimitMb = 200;
// The worker's nice value: scaling uses only time no connection wants.
constexpr int WorkerNice = 19;

// Every manager with a worker, so the application object can stop them all on its way
// out: the workers use the image plugins, which go before static objects do. Never
// destroyed, since a manager may itself be a static object that goes after it.
struct Workers
{
    QMutex mutex;
    QList<HTML_Element_Manager *> managers;
};

Workers &workers()
{
    static Workers *const all = new Workers;
    return *all;
}

void stopAllManagers()
{
    QMutexLocker lock(&workers().mutex);
    for (HTML_Element_Manager *manager : std::as_const(workers().managers))
        manager->stop();
}

} // namespace

HTML_Element_Manager::HTML_Element_Manager(QObject *parent)
    : QThread(parent)
{
    clock.start();
}

HTML_Element_Manager::~HTML_Element_Manager()
{
    stop();
    {
        QMutexLocker lock(&workers().mutex);
        workers().managers.removeOne(this);
    }
    // The elements delete their copies, then the folder goes with anything left in it.
    pending.clear();
    cache.clear();
    folder.reset();
}

QByteArray HTML_Element_Manager::key(const QByteArray &path, qint64 size, qint64 modifiedMs)
{
    QByteArray key;
    key.reserve(path.size() + 1 + 2 * sizeof(qint64));
    key.append(path).append('\0');
    const qint64 numbers[2] = {qToBigEndian(size), qToBigEndian(modifiedMs)};
    key.append(reinterpret_cast<const char *>(numbers), sizeof(numbers));
    return key;
}

QList<std::shared_ptr<HTML_Element>>
HTML_Element_Manager::elements(const QList<QByteArray> &keys,
                               const std::function<QFileInfo(qsizetype)> &fileOf)
{
    QList<std::shared_ptr<HTML_Element>> found;
    found.reserve(keys.size());
    QList<std::shared_ptr<HTML_Element>> toScale;

    QMutexLocker lock(&mutex);
    const qint64 now = clock.elapsed();
    bool added = false;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        auto it = cache.find(keys.at(i));
        if (it == cache.end()) {
            const QFileInfo file = fileOf(i);
            auto element = std::make_shared<HTML_Element>(&file, folderLocked());
            if (!element->isReady())
                toScale.append(element);
            it = cache.insert(keys.at(i), Entry {std::move(element), now});
            added = true;
        } else {
            it->listedMs = now;
        }
        found.append(it->element);
    }
    if (added && cache.size() > CacheSize)
        dropStaleLocked(now);

    bool startWorker = false;
    if (!toScale.isEmpty() && !stopping) {
        // Queued bottom first, so the worker starts at the page's top.
        std::reverse(toScale.begin(), toScale.end());
        pending.append(toScale);
        work.wakeOne();
        startWorker = !started;
        started = true;
    }
    lock.unlock();

    // Outside the lock: stopping all workers takes the registry's lock, then each
    // manager's. The worker looks at the queue before it first waits.
    if (startWorker) {
        {
            QMutexLocker workersLock(&workers().mutex);
            workers().managers.append(this);
        }
        static const bool routineAdded = [] {
            qAddPostRoutine(stopAllManagers);
            return true;
        }();
        Q_UNUSED(routineAdded);
        start(QThread::LowestPriority);
    }
    return found;
}

QString HTML_Element_Manager::thumbnailFolder() const
{
    QMutexLocker lock(&mutex);
    return folder ? folder->path() : QString();
}

void HTML_Element_Manager::stop()
{
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        work.wakeAll();
    }
    wait();
    // Qt's wait() for the worker is out of the race detector's sight.
    ThreadSanitizer::happensAfter(this);
}

void HTML_Element_Manager::run()
{
    // Linux gives each thread its own nice value; the thread priority alone does not
    // lower an ordinary thread.
    ::setpriority(PRIO_PROCESS, ::gettid(), WorkerNice);
    QImageReader::setAllocationLimit(ImageAllocationLimitMb);

    QMutexLocker lock(&mutex);
    while (!stopping) {
        if (pending.isEmpty()) {
            ThreadSanitizer::mutexUnlockedInside(&mutex);
            work.wait(&mutex);
            ThreadSanitizer::mutexLockedInside(&mutex);
            continue;
        }
        std::shared_ptr<HTML_Element> element = pending.takeLast();
        lock.unlock();
        element->init();
        element.reset();
        lock.relock();
    }
    lock.unlock();
    ThreadSanitizer::happensBefore(this);
}

QString HTML_Element_Manager::folderLocked()
{
    if (!folderTried) {
        folderTried = true;
        // A new folder of a random name, made private to this user (0700), so no one
        // else can have planted it or a link in its place.
        auto made
            = std::make_unique<QTemporaryDir>(QDir::tempPath() + QLatin1String("/tarnwickServer-XXXXXX"));
        if (made->isValid())
            folder = std::move(made);
        else
            qWarning("Cannot make a folder for thumbnails: %s", qPrintable(made->errorString()));
    }
    return folder ? folder->path() : QString();
}

void HTML_Element_Manager::dropStaleLocked(qint64 nowMs)
{
    // Elements still waiting for the worker stay: their pages are being reloaded.
    QList<std::pair<qint64, QByteArray>> stale;
    for (auto it = cache.cbegin(); it != cache.cend(); ++it) {
        if (nowMs - it->listedMs > CacheGraceMs && it->element->isReady())
            stale.append({it->listedMs, it.key()});
    }
    std::sort(stale.begin(), stale.end());
    for (const auto &[listedMs, key] : std::as_const(stale)) {
        if (cache.size() <= CacheSize)
            break;
        cache.remove(key);
    }
}
