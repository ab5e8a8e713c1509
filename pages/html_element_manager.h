#pragma once

#include "html_element.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <functional>
#include <memory>

class QTemporaryDir;

/*!
 * The cells of the thumbnail listing, kept between requests, and the worker that makes
 * the scaled copies of the photos, one at a time at the lowest priority.
 *
 * An element is found again by its file's absolute path, size and modification time, so
 * a replaced photo and a photo of the same name in another folder get elements of their
 * own. Connection threads ask for elements at the same time as the worker makes copies:
 * one mutex guards the cache and the queue, and elements are shared, so a page keeps the
 * ones it shows alive while it is built even if the cache drops them meanwhile.
 */
class HTML_Element_Manager : public QThread
{
    Q_OBJECT

public:
    // The cache keeps this many elements; beyond it, elements not listed for
    // CacheGraceMs are dropped, least recently listed first. Elements listed lately stay,
    // so a page of more files, or two pages viewed at once, never lose their pictures
    // while their browsers reload them.
    static constexpr qsizetype CacheSize = 400;
    static constexpr qint64 CacheGraceMs = 60000;

    explicit HTML_Element_Manager(QObject *parent = nullptr);
    // Stops the worker, deletes the scaled copies and the thumbnail folder.
    ~HTML_Element_Manager() override;

    // What identifies one state of one file: its absolute path in file-system bytes, its
    // size and its modification time in milliseconds.
    static QByteArray key(const QByteArray &path, qint64 size, qint64 modifiedMs);

    /*!
     * The elements of one page, one per key and in the same order: the cached element of
     * a key, or a new one made from fileOf(i). New photos are queued for the worker so
     * that those at the page's top are scaled first.
     */
    QList<std::shared_ptr<HTML_Element>> elements(const QList<QByteArray> &keys,
                                                  const std::function<QFileInfo(qsizetype)> &fileOf);

    // The private folder of the scaled copies, made on first need; empty before, or when
    // it cannot be made (photos then show the image icon).
    QString thumbnailFolder() const;

    // Ends the worker; a copy being made is finished first. Also done for every manager
    // when the application object goes, before the image plugins are unloaded.
    void stop();

protected:
    void run() override;

private:
    struct Entry
    {
        std::shared_ptr<HTML_Element> element;
        qint64 listedMs;
    };

    QString folderLocked();
    void dropStaleLocked(qint64 nowMs);

    mutable QMutex mutex;
    QWaitCondition work;
    QHash<QByteArray, Entry> cache;
    // The worker takes the last first: the newest listing's photos come before older ones.
    QList<std::shared_ptr<HTML_Element>> pending;
    std::unique_ptr<QTemporaryDir> folder;
    bool folderTried = false;
    bool started = false;
    bool stopping = false;
    QElapsedTimer clock;
};
