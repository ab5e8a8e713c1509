#pragma once

#include <QDeadlineTimer>

#include <atomic>

namespace SocketWait {

/*!
    Waits until the socket \a fd can take more bytes (POLLOUT) or has some (POLLIN). False
    when the deadline passes, the socket fails, or \a stop is set (looked at every
    Limits::StopCheckMs). A hang-up counts as readable, so that the read sees the end.
*/
bool until(int fd, short events, const QDeadlineTimer &deadline, const std::atomic<bool> &stop);

} // namespace SocketWait
