#pragma once

#include <QByteArray>

// What a request path may reach, decided on the path alone: the connection does the I/O.
// Paths are bytes as the file system holds them, so a name that is not valid UTF-8 is
// reached by exactly its bytes.
namespace Route {

// What is shared, as the connection sees it when the request comes.
struct Shared
{
    // The shared folder or file, absolute.
    QByteArray target;
    bool isFile = false;
    // Whether the target is the upload page (Get Files mode).
    bool receivesFiles = false;
    // The folders of the pages' images by absolute path, each ending in "/": the install
    // folder's, and the scaled copies' (empty when there is none).
    QByteArray iconFolder;
    QByteArray thumbnailFolder;
    // The thumbnail view is on.
    bool thumbnails = false;
};

enum class Kind { File, Listing, NotFound };

struct Answer
{
    Kind kind = Kind::NotFound;
    // The file to send, the folder to list, or the file that was looked for.
    QByteArray path;
    // File only: what is sent instead when the file does not exist; empty for nothing.
    QByteArray orElse;
};

/*!
    The answer to the decoded request path \a path. In a folder only the names a listing
    shows can be reached: one name, not hidden, no subfolder. The connection still sends a
    file only when it is a regular one (or a link to one), as the listing shows.
*/
Answer answer(const QByteArray &path, const Shared &shared);

} // namespace Route
