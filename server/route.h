#pragma once

#include <QString>

// What a request path may reach, decided on the path alone: the connection does the I/O.
namespace Route {

// What is shared, as the connection sees it when the request comes.
struct Shared
{
    // The shared folder or file, absolute.
    QString target;
    bool isFile = false;
    // Whether the target is the upload page (Get Files mode).
    bool receivesFiles = false;
    // The folders of the pages' images by absolute path, each ending in "/": the install
    // folder's, and the scaled copies' (empty when there is none).
    QString iconFolder;
    QString thumbnailFolder;
    // The thumbnail view is on.
    bool thumbnails = false;
};

enum class Kind { File, Listing, NotFound };

struct Answer
{
    Kind kind = Kind::NotFound;
    // The file to send, the folder to list, or the file that was looked for.
    QString path;
    // File only: what is sent instead when the file does not exist; empty for nothing.
    QString orElse;

    bool operator==(const Answer &other) const
    {
        return kind == other.kind && path == other.path && orElse == other.orElse;
    }
};

// The answer to the decoded request path \a path.
Answer answer(const QString &path, const Shared &shared);

} // namespace Route
