#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The files both programs keep in their data directory (simusInfo.ini, data.data, devGroups.json)
// are written so that a failed write keeps what was there before:
//
//   1. the current content, when it is readable, is kept as "<file>.bak" (one backup);
//   2. the new content goes to a new file beside the old one; every write and the commit are
//      checked, and only a complete new file replaces the old one;
//   3. a reader that finds the file empty or unreadable takes the backup instead (a file that was
//      removed stays removed).
//
// A disk that fills up, a crash in the middle of a write or a killed process therefore never leave
// an empty or half-written file behind. Every file written here is readable by its owner only.
//
//     if (!StoredFile::write(path, bytes))           // false: warned, the old content stays
//         ...
//     const QByteArray bytes = StoredFile::read(path, isMyFormat);  // falls back to the backup
namespace StoredFile {

// Decides whether the bytes of a file are usable (for example: decrypt and parse). An empty
// function accepts every non-empty content.
using Validator = std::function<bool(const QByteArray&)>;

QString backupPath(const QString& path); // path + ".bak"

// Replaces the file with bytes (keeping the previous content as the backup). False, with a warning
// that names the file and the reason, when anything failed; the file then keeps its old content.
bool write(const QString& path, const QByteArray& bytes, const Validator& isUsable = Validator());

// The file's content; when it is empty, unreadable or refused by isUsable, the backup's content
// instead (with a warning). A missing file was removed on purpose and reads as empty. fromBackup tells which
// one was returned. Empty when neither is usable.
QByteArray read(const QString& path, const Validator& isUsable = Validator(), bool* fromBackup = nullptr);

// For files that another writer replaces (QSettings writes simusInfo.ini through a new file of its
// own): keeps the current content as the backup when it is usable and differs from the backup.
bool keepBackup(const QString& path, const Validator& isUsable = Validator());
// Puts the backup back in place when the file is empty or unreadable and the backup is usable. True when it
// restored the file.
bool restoreFromBackup(const QString& path, const Validator& isUsable = Validator());

// Creates the file empty and owner-only when it does not exist yet, so that a writer that keeps a
// file's permissions (QSettings, QSaveFile) never creates it readable by others.
bool ensurePrivateFile(const QString& path);
// Read and write for the owner only (folders: also list). False when the permissions cannot be set.
bool makePrivate(const QString& path);
bool makePrivateDir(const QString& path);

} // namespace StoredFile
