#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Makes one TCP connection over 127.0.0.1: server is the accepted end (for a socket of the
// server to adopt), client the connecting end, a plain blocking socket. False on failure.
inline bool connectLoopback(int *server, int *client)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const auto any = reinterpret_cast<sockaddr *>(&address);
    bool ok = ::bind(listener, any, sizeof address) == 0 && ::listen(listener, 1) == 0
        && ::getsockname(listener, any, &length) == 0;
    *client = ok ? ::socket(AF_INET, SOCK_STREAM, 0) : -1;
    ok = ok && ::connect(*client, any, sizeof address) == 0;
    *server = ok ? ::accept(listener, nullptr, nullptr) : -1;
    ::close(listener);
    return ok && *server >= 0;
}
