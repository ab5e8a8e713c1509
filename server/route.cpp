#include "route.h"

#include "protocol.h"

namespace {

constexpr char FaviconName[] = "favicon.ico";

// One entry of a folder, as a listing shows it: a name of its own, not hidden (which also
// leaves out "." and "..").
bool isListedName(const QByteArray &name)
{
    return !name.isEmpty() && !name.startsWith('.') && !name.contains('/') && !name.contains('\0');
}

Route::Answer file(const QByteArray &path, const Route::Shared &shared)
{
    // The thumbnail view's pages ask for a favicon, which the install folder has.
    const QByteArray favicon = shared.iconFolder + FaviconName;
    const bool standIn = shared.thumbnails && path.endsWith(Http::FaviconSuffix) && path != favicon;
    return {Route::Kind::File, path, standIn ? favicon : QByteArray()};
}

Route::Answer notFound(const QByteArray &path)
{
    return {Route::Kind::NotFound, path, QByteArray()};
}

} // namespace

namespace Route {

Answer answer(const QByteArray &path, const Shared &shared)
{
    const QByteArray name = path.mid(1);
    if (shared.isFile) {
        const QByteArray folder = shared.target.left(shared.target.lastIndexOf('/'));
        if (path == Http::PathRoot || path == shared.target.mid(folder.size()))
            return file(shared.target, shared);
        // Get Files shares the upload page and the files beside it; Share File keeps the
        // files beside the shared one private.
        return shared.receivesFiles && isListedName(name) ? file(folder + path, shared)
                                                          : notFound(folder + path);
    }

    // The images the folder pages refer to by absolute path.
    for (const QByteArray &images : {shared.iconFolder, shared.thumbnailFolder}) {
        if (images.size() > 1 && path.startsWith(images))
            return isListedName(path.mid(images.size())) ? Answer {Kind::File, path, QByteArray()}
                                                         : notFound(path);
    }

    if (path == Http::PathRoot)
        return {Kind::Listing, shared.target, QByteArray()};
    return isListedName(name) ? file(shared.target + path, shared) : notFound(shared.target + path);
}

} // namespace Route
