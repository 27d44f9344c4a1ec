#pragma once

#include "commresult.h"
#include "simurecords.h"

#include <QStringList>
#include <QVariant>
#include <functional>

// The settings file "simusInfo.ini" of the data directory and the fixed working paths below that
// directory. Every access opens the file anew, so a value written by one thread is seen by the next
// read of any thread. Multi-step updates (list additions, record read-modify-write) are serialised by
// one process-wide lock so that concurrent threads lose no writes. The file is a stored file
// (storedfile.h): owner-only, its previous content kept as "simusInfo.ini.bak" and read back when
// the file is found empty or unreadable; a write that fails (a full disk) is logged and leaves the
// file as it was.
//
// Getters return a CCommResult with iRet 0: texts in str, integers in iExtraRet.
class SimuSettings
{
public:
    // Data directory: the application directory unless set (the programs' --home DIR option).
    static void setDataDir(const QString& dir);
    static QString dataDir();
    // Takes "--home DIR" from a command line into the data directory; returns false on "--home" without DIR.
    static bool applyHomeArgument(const QStringList& args);
    static QString iniPath();

    // Any key, for the modules that keep their own keys in this file (account/url, update/source, ...).
    static QVariant value(const QString& key, const QVariant& defaultValue = QVariant());
    static void setValue(const QString& key, const QVariant& value);

    static CCommResult getDir();
    static void setDir(const QString& dir);
    // Names of the subdirectories of common/dir; count in iExtraRet.
    static CCommResult listSimuDirs(QStringList& names);
    static CCommResult getXiaoYaoDir();
    static void setXiaoYaoDir(const QString& dir);
    static CCommResult getLeiDianDir();
    static void setLeiDianDir(const QString& dir);
    static CCommResult getProductDir(int simuType);              // 1 MEmu, 2 LDPlayer; other types: empty
    static void setProductDir(int simuType, const QString& dir); // other types write nothing
    static CCommResult getPcName();
    static void setPcName(const QString& name);
    static CCommResult getPcNickName();
    static void setPcNickName(const QString& name);
    static CCommResult getSimuType();
    static void setSimuType(int type);
    static CCommResult getRunLimit();
    static void setRunLimit(int limit);
    static CCommResult getDaemonModel();
    static void setDaemonModel(int model);
    static CCommResult getCheckTimeSpan();      // seconds
    static CCommResult getStartupTimeout();     // seconds
    static CCommResult getScreenshotTimeSpan(); // milliseconds
    static bool getIsDefAutoLogin();
    // security/acceptUnsigned (0 or 1, default 0): 1 also accepts peers that do not sign their
    // messages (programs that know no farm key); signed messages are checked either way.
    static bool getAcceptUnsigned();
    static void setAcceptUnsigned(bool accept);
    // common/startupTimeout when it was never saved.
    static constexpr int kDefaultStartupTimeout = 120;

    // Stored state records under "simu2/<memuIdx>".
    static void storeSimuRecord(const struSimuRecord& rec);
    // Overwrites the fields present in the stored JSON; a missing key returns the parse result of "".
    static CCommResult loadSimuRecord(const QString& memuIdx, struSimuRecord& rec);
    // The stored record of an instance; one never stored reads as the initial record (not started,
    // time 0, memuIdx set), without a warning.
    static struSimuRecord storedSimuRecord(const QString& memuIdx);
    // Load (from the conventional initial record: iState -1, zero counters, memuIdx set), change and
    // store one record under the process-wide lock. Returns the stored record.
    static struSimuRecord updateSimuRecord(const QString& memuIdx,
                                           const std::function<void(struSimuRecord&)>& change);

    // daemon/list: memuIdx values joined by ";".
    static QStringList getDaemonList();
    static void setDaemonList(const QStringList& list);
    static void addDaemon(const QString& memuIdx);    // only when absent
    static void removeDaemon(const QString& memuIdx); // every occurrence

    // daemon/runningList: a string list.
    static QStringList getRunningList();
    static void setRunningList(const QStringList& list);
    static void addRunningList(const QString& memuIdx); // only when absent

    // Working paths under the data directory.
    static QString screenshotDir(); // created when missing, ends with "/"
    // <dir>/<memuIdx>.png and <dir>/<memuIdx>_bak.png; characters of the index other than letters,
    // digits and "-._~" are percent-encoded, so the file never lies outside the folder.
    static QString screenshotPath(const QString& memuIdx);
    static QString screenshotBakPath(const QString& memuIdx);
    static QString dwnPath(const QString& fileName); // <data>/dwn/<name>, "" -> "rcv.apk"
    static QString logDir();                         // <data>/log, created when missing
    static QString adbPath();                        // common/dir + "/adb.exe"
};
