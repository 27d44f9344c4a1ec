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
