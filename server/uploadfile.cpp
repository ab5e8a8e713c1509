#include "uploadfile.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Temporary names start with a dot, so that file managers hide what is still arriving.
const char TemporaryPrefix[] = ".upload-";
const char TemporarySuffix[] = ".part";
// A clash of two random names is unlikely; a folder where every try clashes is broken.
constexpr int CreateTries = 16;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

UploadFile::UploadFile(const QString &folder)
    : m_folder(folder)
{ }

UploadFile::~UploadFile()
{
    discard();
}

bool UploadFile::create()
{
    for (int i = 0; i < CreateTries; ++i) {
        const QString name = QLatin1String(TemporaryPrefix)
            + QString::number(QRandomGenerator::global()->generate64(), 16) + QLatin1String(TemporarySuffix);
        m_file.setFileName(m_folder + QLatin1Char('/') + name);
        // Written in large blocks already; a buffer in between would only copy them.
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            m_created = true;
            return true;
        }
        if (!QFileInfo(m_file.fileName()).isSymLink() && !QFileInfo::exists(m_file.fileName()))
            break;
    }
    m_error = m_file.errorString();
    return false;
}

UploadFile::Keep UploadFile::keep(const QString &path)
{
    m_file.close();
    const QByteArray from = QFile::encodeName(m_file.fileName());
    const QByteArray to = QFile::encodeName(path);

    // The kernel gives the name only when nothing has it, in one step, so two uploads of
    // one name at the same moment cannot both win.
    int result = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without that rename: a hard link refuses an existing name too.
        result = ::link(from.constData(), to.constData());
        if (result == 0) {
            ::unlink(from.constData());
        } else if (errno == EPERM || errno == EOPNOTSUPP) {
            // Nor hard links: the one way left has a short race with another upload.
            if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
                errno = EEXIST;
            } else {
                result = ::rename(from.constData(), to.constData());
            }
        }
    }
    if (result == 0) {
        m_created = false;
        return Keep::Kept;
    }
    const int error = errno;
    m_error = errnoText(error);
    discard();
    return error == EEXIST ? Keep::NameTaken : Keep::Failed;
}

void UploadFile::discard()
{
    if (!m_created)
        return;
    m_file.close();
    QFile::remove(m_file.fileName());
    m_created = false;
}
