#pragma once

#include <QtGlobal>

// Every bound of the server, named once.
namespace Limits {

// Connections served at once, each by a thread of its own. An idle connection's thread keeps
// about 16 KiB resident (of the 256 KiB of stack it reserves) and holds two descriptors, so
// 2048 of them take some 32 MiB. That is far below what a user's processes share: the login's
// task limit, often about 10 000 threads, and the 65 530 memory maps of a process, two per
// thread. Yet it leaves room for a thousand idle connections and the browsers that come
// meanwhile. Beyond it a new connection takes the place of the one that has waited longest
// for its request head; when none is waiting, it is answered 503 at once.
constexpr int MaxConnections = 2048;
// Connections closed to make room whose threads have not ended yet. They end within
// milliseconds, but a burst of connections is accepted before the first of them is seen to
// end; beyond this many a new connection is answered 503, so the threads never number more
// than MaxConnections + MaxClosingConnections.
constexpr int MaxClosingConnections = MaxConnections / 8;
// Connection threads wait for the next connection when theirs is done, this many at most,
// and end when none came for this long: a thread's start and end cost more than a small
// request's whole answer.
constexpr int MaxIdleThreads = 64;
constexpr int IdleThreadMs = 60000;
// A generated listing is shared this long with every connection that asks for the same
// page: many readers of a big folder hold one copy of it.
constexpr int ListingKeepMs = 2000;
// Connections one client address may hold at once. A browser opens a few dozen at most;
// one visitor holding more would keep everyone else out.
constexpr int MaxConnectionsPerAddress = 64;
// How long a connection beyond its client's share waits for one of the client's others to
// close before it is told the server is busy: a browser connects again as soon as it has
// its answer, a moment before the server has closed the old connection.
constexpr int ShareWaitMs = 5;
// Descriptors a connection may hold at once: its socket, its thread's wake-up, and the file
// it sends, lists or stores. A thread that cannot get its wake-up ends the program, so the
// server raises the process's limit as far as its connections need (Linux sets 1024 by
// default, the allowed maximum far higher) and, where it cannot, serves fewer at once.
constexpr int DescriptorsPerConnection = 3;
// Descriptors left for the rest of the program: the window, its settings, name lookups.
constexpr int DescriptorReserve = 128;
// Connections the system queues for the threads to accept: a burst of browsers (a page of
// thumbnails from many phones) waits there rather than having its connections dropped and
// tried again a second later.
constexpr int ListenBacklog = 511;
// How long accepting rests after the system refused a connection (out of descriptors or
// memory); the connection waits in the system's queue meanwhile.
constexpr int AcceptRetryMs = 200;
// How long a connection may take to deliver its request head, whatever its pace.
constexpr int RequestWaitMs = 30000;
// How long a send may wait for the browser to take a block.
constexpr int SendWaitMs = 30000;
// An upload body must bring an accounting block (1 KiB) within this time, or it ends. This is
// the silence that ends an upload, measured in blocks rather than bytes: a body trickled a
// byte at a time would otherwise hold its thread for ever. A block per 10 s is about 100
// bytes a second, a tenth of the slowest mobile link, so no real upload comes near it.
constexpr int UploadSilenceMs = 10000;
// How long closing a connection may wait for the browser to hang up, and how much of what
// it still sends is read meanwhile (so that the close does not overtake the answer).
constexpr int DisconnectWaitMs = 10000;
constexpr qint64 MaxDrain = 256 * 1024;

// The accounting block: totals grow, and the data limit is checked, per block of this size.
constexpr qint64 BlockSize = 1024;
// A file is handed to the kernel in pieces of at most this size; the totals, the data limit
// and the stop flag are looked at between two pieces.
constexpr qint64 SendChunk = 1024 * 1024;
// An upload body is read in pieces of at most this size, into one buffer per connection.
constexpr qint64 ReceiveChunk = 256 * 1024;
// How often a send that waits for the browser looks at the stop flag.
constexpr int StopCheckMs = 100;

// Request head bounds; a request beyond them is closed without an answer.
constexpr int MaxHeadLine = 8 * 1024;
constexpr int MaxHeadSize = 64 * 1024;
// An upload's first part header, with any preamble before it; a longer one is refused.
constexpr int MaxPartHead = 16 * 1024;
// The longest file name the download folder can hold, in bytes.
constexpr int MaxFileName = 255;
// The login form is small; a larger form body is not read.
constexpr qint64 MaxFormBody = 64 * 1024;

// Browser sessions: the expiry sweep period and how many are kept at most.
constexpr int SessionSweepMs = 60000;
constexpr int MaxSessions = 10000;

} // namespace Limits
