#pragma once

#include <QFile>
#include <QString>

// A file that arrives under a temporary name in the folder it is meant for, and takes its
// final name only once it is complete. Until then, and whenever something fails, it is
// removed again: nothing half-written ever carries the final name, and no name is ever
// overwritten.
class UploadFile
{
public:
    enum class Keep {
        Kept,
        // Something else has the name by now; the temporary file is gone.
        NameTaken,
        // The name could not be given (see errorString()); the temporary file is gone.
        Failed,
    };

    explicit UploadFile(const QString &folder);
    // Removes the temporary file unless it was kept.
    ~UploadFile();
    UploadFile(const UploadFile &) = delete;
    UploadFile &operator=(const UploadFile &) = delete;

    // Creates the temporary file in the folder, exclusively, and opens it for writing.
    // False when the folder cannot take it.
    bool create();
    QFile *file() { return &m_file; }

    // Closes the file and moves it to \a path, in the same folder, unless something has
    // that name already.
    Keep keep(const QString &path);

    QString errorString() const { return m_error; }

private:
    void discard();

    QString m_folder;
    QFile m_file;
    QString m_error;
    bool m_created = false;
};
