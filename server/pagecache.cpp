#include "pagecache.h"

PageCache::Page PageCache::page(const QByteArray &key, const std::function<QByteArray()> &make)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    // The entries hold one reference; a page nobody else holds is done with.
    for (auto it = m_entries.begin(); it != m_entries.end();)
        it = it->expires.hasExpired() || it->page.use_count() == 1 ? m_entries.erase(it) : std::next(it);
    const auto kept = m_entries.constFind(key);
    if (kept != m_entries.constEnd())
        return kept->page;
    Page made = std::make_shared<const QByteArray>(make());
    m_entries.insert(key, {made, QDeadlineTimer(m_keepMs)});
    return made;
}
