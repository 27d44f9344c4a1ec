#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace farmsim {

// Every tool writes "\r\n" line ends, as the Windows programs it stands in for do.
void writeOut(const QByteArray& bytes);
void writeErr(const QByteArray& bytes);
void outLine(const QString& text);
void errLine(const QString& text);

// Opens the farm of a tool copy for a locked update; prints the reason and returns false on failure.
class Farm;
bool beginFarm(Farm& farm, const QString& what);
bool commitFarm(Farm& farm, const QString& what);

// Opens the farm for an update of instance idx and returns the instance's position; -1, with the farm
// released, when the farm cannot be opened or has no such instance (then missingLine is printed).
int beginInstance(Farm& farm, const QString& idx, const QString& what, const QString& missingLine);
// After an instance's process was asked to end: waits up to ms for it to be gone; true when it is.
bool waitInstanceGone(const Farm& farm, int i, int ms);
// Once process pid of instance idx has ended: clears the record's pid unless another process has
// taken its place meanwhile. False when the farm could not be updated (the reason is printed).
bool forgetInstancePid(Farm& farm, const QString& idx, qint64 pid, const QString& what);

// The farmsim command itself: init, set, status, help.
int runFarmCommand(const QStringList& args);

int runMEmuManage(const QString& farmDir, const QStringList& args);
int runMemuConsole(const QString& farmDir, const QStringList& args);
int runDnConsole(const QString& farmDir, const QStringList& args);
int runAdb(const QString& farmDir, const QStringList& args);
// MEmu.exe <idx> / dnplayer.exe index=<n>: the long-lived instance process.
int runInstance(int argc, char** argv, const QString& farmDir, const QString& program);

// Instance records and MEmu description files, shared by init and the create commands.
QJsonObject newInstanceRecord(bool memu, int number, const QString& name = QString());
int nextInstanceNumber(const Farm& farm);
bool writeMemuFile(const QString& installDir, const QJsonObject& rec, QString* pErr);

} // namespace farmsim
