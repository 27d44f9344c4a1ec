#include "storedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QSaveFile>

namespace StoredFile {

namespace {

// Stored files are small; anything far larger is not one of ours and is not read into memory.
constexpr qint64 kMaxStoredFileBytes = 64 * 1024 * 1024;

constexpr QFileDevice::Permissions kOwnerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// One writer at a time for every stored file and its backup.
QRecursiveMutex g_mutex;

bool usable(const QByteArray& bytes, const Validator& isUsable)
{
    return !bytes.isEmpty() && (!isUsable || isUsable(bytes));
}

// The whole file, or false when it cannot be opened or read (or is far too large).
bool readAll(const QString& path, QByteArray& bytes)
{
    bytes.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxStoredFileBytes)
        return false;
    bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// The backup without waiting for the disk: it is written often (before every settings write), and
// the file it backs up has been flushed to the disk by its own writer already.
bool replaceQuickly(const QString& path, const QByteArray& bytes, QString& error)
{
    const QString temp = path + QStringLiteral(".new");
    QFile file(temp);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.setPermissions(kOwnerFile) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        error = file.errorString();
        file.close();
        QFile::remove(temp);
        return false;
    }
    file.close();
    QFile::remove(path);
    if (!QFile::rename(temp, path)) {
        error = QStringLiteral("cannot rename %1").arg(temp);
        QFile::remove(temp);
        return false;
    }
    return true;
}

// A new file beside the old one, checked write and commit (flushed to the disk), then the
// replacement.
bool replaceWith(const QString& path, const QByteArray& bytes, QString& error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    file.setPermissions(kOwnerFile);
    if (file.write(bytes) != bytes.size()) {
        error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

QString backupPath(const QString& path)
{
    return path + QStringLiteral(".bak");
}

bool write(const QString& path, const QByteArray& bytes, const Validator& isUsable)
{
    QMutexLocker lock(&g_mutex);
    keepBackup(path, isUsable);
    QString error;
    if (!replaceWith(path, bytes, error)) {
        qWarning().noquote() << "stored file" << path
                             << "not written (" + error + "): it keeps its previous content";
        return false;
    }
    return true;
}

QByteArray read(const QString& path, const Validator& isUsable, bool* fromBackup)
{
    if (fromBackup)
        *fromBackup = false;
    QByteArray bytes;
    if (readAll(path, bytes) && usable(bytes, isUsable))
        return bytes;
    QByteArray backup;
    // A file that is gone was removed on purpose (writes replace it in one step): nothing to bring back.
    if (!QFileInfo::exists(path) || !readAll(backupPath(path), backup) || !usable(backup, isUsable))
        return QByteArray();
    qWarning().noquote() << "stored file" << path << "is empty or unreadable: its backup is used";
    if (fromBackup)
        *fromBackup = true;
    return backup;
}

bool keepBackup(const QString& path, const Validator& isUsable)
{
    QMutexLocker lock(&g_mutex);
    QByteArray current;
    if (!readAll(path, current) || !usable(current, isUsable))
        return false; // nothing worth keeping: the backup stays as it is
    QByteArray backup;
    if (readAll(backupPath(path), backup) && backup == current)
        return true;
    QString error;
    if (!replaceQuickly(backupPath(path), current, error)) {
        qWarning().noquote() << "stored file" << path << "backup not written (" + error + ")";
        return false;
    }
    return true;
}

bool restoreFromBackup(const QString& path, const Validator& isUsable)
{
    const QFileInfo info(path);
    if (!info.exists() || (info.size() > 0 && info.isReadable() && !isUsable))
        return false; // the quick answer for every read of a healthy (or a removed) file
    QMutexLocker lock(&g_mutex);
    QByteArray current;
    if (readAll(path, current) && usable(current, isUsable))
        return false;
    QByteArray backup;
    if (!readAll(backupPath(path), backup) || !usable(backup, isUsable))
        return false;
    QString error;
    if (!replaceWith(path, backup, error)) {
        qWarning().noquote() << "stored file" << path << "cannot be restored from its backup (" + error + ")";
        return false;
    }
    qWarning().noquote() << "stored file" << path << "was empty or unreadable: restored from its backup";
    return true;
}

bool ensurePrivateFile(const QString& path)
{
    if (QFileInfo::exists(path))
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return QFileInfo::exists(path); // another thread was first
    return file.setPermissions(kOwnerFile);
}

bool makePrivate(const QString& path)
{
    return QFile::setPermissions(path, kOwnerFile);
}

bool makePrivateDir(const QString& path)
{
    return QFile::setPermissions(path, kOwnerFile | QFileDevice::ExeOwner);
}

} // namespace StoredFile
