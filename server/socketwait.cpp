#include "socketwait.h"

#include "limits.h"

#include <cerrno>
#include <poll.h>

namespace SocketWait {

bool until(int fd, short events, const QDeadlineTimer &deadline, const std::atomic<bool> &stop)
{
    for (;;) {
        if (stop || deadline.hasExpired())
            return false;
        pollfd entry {fd, events, 0};
        const int slice = static_cast<int>(qMin<qint64>(deadline.remainingTime(), Limits::StopCheckMs));
        const int ready = ::poll(&entry, 1, slice);
        if (ready > 0) {
            if (events == POLLIN)
                return !(entry.revents & POLLNVAL);
            return !(entry.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace SocketWait
