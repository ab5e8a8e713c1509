// Times the thumbnail listing of a folder of camera-sized photos: the first page (built
// before any copy exists), the time until the worker has made every scaled copy, and
// later pages from the cache beside the plain listing of the same folder.
//
//   thumbnail_bench [photos, default 500] [runs, default 200]
//
// The photos are 4000 x 3000 JPEGs of 2 to 5 MB: a few are made, the rest are hard
// links to them under other names, each its own file to the listing and the worker.

#include "config/configuration.h"
#include "pages/folderpage.h"
#include "pages/html_element_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <ctime>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Width = 4000;
constexpr int Height = 3000;
constexpr int Originals = 4;
constexpr int PollMs = 20;

// Smooth colour with grain, which a JPEG encoder turns into photo-like sizes.
QImage makePhoto(int seed)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    const int grain = 10 + seed * 7;
    for (int y = 0; y < Height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < Width; ++x) {
            const int noise = int(random.bounded(grain)) - grain / 2;
            line[x] = qRgb(qBound(0, x * 255 / Width + noise, 255), qBound(0, y * 255 / Height + noise, 255),
                           qBound(0, (x + y) * 128 / (Width + Height) + 64 + noise, 255));
        }
    }
    return image;
}

bool generate(const QString &folder, int photos, qint64 *bytes)
{
    QStringList originals;
    for (int i = 0; i < Originals; ++i) {
        const QString path = folder + QStringLiteral("/.original-%1.jpg").arg(i);
        if (!makePhoto(i).save(path, "JPEG", 92))
            return false;
        originals.append(path);
        std::printf("photo %d: %lld bytes\n", i, qlonglong(QFileInfo(path).size()));
    }
    *bytes = 0;
    for (int i = 0; i < photos; ++i) {
        const QString &original = originals.at(i % Originals);
        const QString name = folder + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        if (::link(QFile::encodeName(original).constData(), QFile::encodeName(name).constData()) != 0)
            return false;
        *bytes += QFileInfo(original).size();
    }
    return true;
}

// CPU time of the whole process: the worker's, with the little the polling adds.
double cpuSeconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

double medianUs(std::vector<qint64> &ns)
{
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2] / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int photos = argc > 1 ? QByteArray(argv[1]).toInt() : 500;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 200;
    if (photos <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: thumbnail_bench [photos] [runs]\n");
        return 2;
    }

    QTemporaryDir dir;
    qint64 bytes = 0;
    if (!dir.isValid() || !generate(dir.path(), photos, &bytes)) {
        std::fprintf(stderr, "cannot write the photos\n");
        return 1;
    }
    std::printf("%d photos, %.1f MB in all\n", photos, bytes / 1e6);

    HTML_Element_Manager manager;
    const double cpuStart = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    FolderPage::Listing listing = FolderPage::thumbnailListing(dir.path(), manager);
    const qint64 firstNs = clock.nsecsElapsed();
    std::printf("first page: %.2f ms, %lld bytes, all pictures ready: %s\n", firstNs / 1e6,
                qlonglong(listing.rows.size()), listing.allReady ? "yes" : "no");

    while (!listing.allReady) {
        QThread::msleep(PollMs);
        listing = FolderPage::thumbnailListing(dir.path(), manager);
    }
    const double allSeconds = clock.nsecsElapsed() / 1e9;
    std::printf("all %d copies made after %.1f s (%.1f ms a photo, %.1f ms of CPU time a photo)\n", photos,
                allSeconds, allSeconds * 1000 / photos, (cpuSeconds() - cpuStart) * 1000 / photos);

    std::vector<qint64> cached;
    std::vector<qint64> plain;
    for (int i = 0; i < runs; ++i) {
        clock.restart();
        FolderPage::thumbnailListing(dir.path(), manager);
        cached.push_back(clock.nsecsElapsed());
        clock.restart();
        FolderPage::plainListing(dir.path());
        plain.push_back(clock.nsecsElapsed());
    }
    const double cachedUs = medianUs(cached);
    const double plainUs = medianUs(plain);
    std::printf("later pages (median of %d): thumbnail %.0f us, plain %.0f us, ratio %.2f\n", runs, cachedUs,
                plainUs, cachedUs / plainUs);
    return 0;
}
