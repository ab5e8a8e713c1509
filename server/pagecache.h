#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>

#include <functional>
#include <memory>
#include <mutex>

/*!
    Generated pages shared by the connections that send the same page at the same time. A
    listing of a big folder is built once for all the readers it has at a moment instead of
    once per reader, and they hold the same bytes, however slowly their browsers read. A page
    is shared only while a connection still sends it, and for keepMs at most, so a reload
    after the transfer ended is built anew; the key says what else makes pages differ.
*/
class PageCache
{
public:
    using Page = std::shared_ptr<const QByteArray>;

    explicit PageCache(int keepMs)
        : m_keepMs(keepMs)
    { }

    // The page under key that a connection still sends, or the one make() builds now. Pages
    // are built one at a time: readers that come together wait for the first one's page
    // instead of building their own.
    Page page(const QByteArray &key, const std::function<QByteArray()> &make);

private:
    struct Entry
    {
        Page page;
        QDeadlineTimer expires;
    };

    const int m_keepMs;
    std::mutex m_mutex;
    QHash<QByteArray, Entry> m_entries;
};
