#pragma once

#include <QFileInfo>
#include <QString>

#include <optional>

// What is shared and how, as the window and tarnwick-serve both decide it.
namespace Sharing {

// The operating modes, in the order the window lists them.
enum Mode { ShareFolder = 0, ShareFile = 1, GetFiles = 2 };

// The page browsers get in Get Files mode: "upload.html" of the page folder.
QString uploadPage();

// What a mode shares: the upload page in Get Files mode, else the chosen folder or file.
QFileInfo target(Mode mode, const QString &chosen);

// Whether a mode has something to share: a folder for Share Folder, a file for Share File;
// Get Files always has its upload page.
bool hasTarget(Mode mode, const QFileInfo &shared);

// Whether a shared target is the upload page, which only Get Files mode shares.
bool receivesFiles(const QFileInfo &shared);

// Why uploads cannot be stored in \a folder ("/x does not exist", "/x is not a folder",
// "/x is not writable"); nothing when they can.
std::optional<QString> downloadFolderProblem(const QString &folder);

// Where a browser reaches the server: "http://HOST/", with ":PORT" unless it is 80.
QString address(const QString &host, int port);

// The version of this build.
QString version();

} // namespace Sharing
