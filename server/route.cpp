#include "route.h"

#include "protocol.h"
#include "requestparser.h"

#include <QFileInfo>

namespace {

constexpr char FaviconName[] = "favicon.ico";

Route::Answer file(const QString &path, const Route::Shared &shared)
{
    // The thumbnail view's pages ask for a favicon, which the install folder has.
    const QString favicon = shared.iconFolder + QLatin1String(FaviconName);
    const bool standIn
        = shared.thumbnails && path.endsWith(QLatin1String(Http::FaviconSuffix)) && path != favicon;
    return {Route::Kind::File, path, standIn ? favicon : QString()};
}

Route::Answer notFound(const QString &path)
{
    return {Route::Kind::NotFound, path, QString()};
}

} // namespace

namespace Route {

Answer answer(const QString &path, const Shared &shared)
{
    if (!RequestParser::isSafePath(path))
        return notFound(path);

    if (shared.isFile) {
        const QFileInfo target(shared.target);
        const QString folder = target.absolutePath();
        if (path.size() <= 1 || path.mid(1) == target.fileName())
            return file(shared.target, shared);
        // Get Files shares the upload page and the files it refers to; Share File keeps the
        // files beside the shared one private.
        return shared.receivesFiles ? file(folder + path, shared) : notFound(folder + path);
    }

    // The images the folder pages refer to by absolute path. The path holds no ".."
    // segment, so it stays in the folder it names.
    for (const QString &images : {shared.iconFolder, shared.thumbnailFolder}) {
        if (images.size() > 1 && path.startsWith(images))
            return path.size() > images.size() ? Answer {Kind::File, path, QString()} : notFound(path);
    }

    if (path == QLatin1String(Http::PathRoot))
        return {Kind::Listing, shared.target, QString()};
    return file(shared.target + path, shared);
}

} // namespace Route
