#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QLockFile>
#include <QString>
#include <QStringList>

#include <memory>

namespace farmsim {

// File names of a farm folder.
inline const QString kStateFile = QStringLiteral("farmsim.json");
inline const QString kFarmLink = QStringLiteral("farmsim.farm");
inline const QString kDeviceDir = QStringLiteral(".farmsim-devices");

// Program names, as the products ship them.
inline const QString kMEmuExe = QStringLiteral("MEmu.exe");
inline const QString kMEmuManageExe = QStringLiteral("MEmuManage.exe");
inline const QString kMemuConsoleExe = QStringLiteral("MemuConsole.exe");
inline const QString kDnConsoleExe = QStringLiteral("dnconsole.exe");
inline const QString kDnPlayerExe = QStringLiteral("dnplayer.exe");
inline const QString kAdbExe = QStringLiteral("adb.exe");
inline const QString kMEmuVmDir = QStringLiteral("MemuHyperv VMs");
inline const QString kHypervDir = QStringLiteral("MEmuHyperv");

enum class Product
{
    MEmu,
    LdPlayer
};

qint64 nowMs();

// True when pid is a live (not zombie) process whose program file name is `program` and whose
// arguments are exactly `args`; a recycled pid or a reaped instance therefore never counts.
bool processMatches(qint64 pid, const QString& program, const QStringList& args);
// True when the process is stopped (SIGSTOP), which is how a hung instance looks.
bool processStopped(qint64 pid);

// A slow tool: sleeps as long as the "toolDelayMs" knob of the addressed instance (by index, else
// by adb port) or of the farm says, before the tool does anything and outside the lock, so slow
// calls do not hold up each other.
void slowTool(const QString& farmDir, const QString& idx, int port);
// A slow listing: sleeps as long as the farm's "listDelayMs" knob.
void slowListing(const QString& farmDir);

// The state of one farm: a JSON file in the farm folder, read as a whole and rewritten
// atomically under a lock file, so tool invocations running at the same time never lose updates.
//
// Instance record keys: index, name, port, uuid, pid, launchMs, stop, knobs, installed.
class Farm
{
public:
    explicit Farm(QString dir);
    ~Farm();
    Farm(const Farm&) = delete;
    Farm& operator=(const Farm&) = delete;

    // The farm a tool copy in `toolDir` belongs to: the state file beside it, or the folder named
    // by a link file beside it (the MEmu manager lives outside the install folder).
    static QString locate(const QString& toolDir, QString* pErr);

    const QString& dir() const { return m_dir; }
    QString stateFile() const;

    // Snapshot without the lock: the file is only ever replaced whole.
    bool read(QString* pErr);
    // Read-modify-write: begin() locks and reads, commit() writes and unlocks.
    bool begin(QString* pErr);
    bool commit(QString* pErr);
    void rollback();
    // A new farm: sets the root and writes it under the lock.
    bool create(const QJsonObject& root, QString* pErr);

    Product product() const;
    QJsonObject& root() { return m_root; }

    int count() const;
    QJsonObject instance(int i) const;
    void setInstance(int i, const QJsonObject& rec);
    void appendInstance(const QJsonObject& rec);
    void removeInstance(int i);
    int findIndex(const QString& idx) const;
    int findPort(int port) const;

    // Knob lookup: the instance's own value, else the farm's, else the default (i < 0: farm only).
    QJsonValue knob(int i, const QString& key) const;
    bool knobBool(int i, const QString& key) const { return knob(i, key).toBool(); }
    int knobInt(int i, const QString& key) const { return knob(i, key).toInt(); }
    QString knobText(int i, const QString& key) const { return knob(i, key).toString(); }

    // The instance process's program and arguments (MEmu.exe MEmu_1, dnplayer.exe index=1).
    QString instanceProgram() const;
    QStringList instanceArgs(const QString& idx) const;
    QString instanceProgramPath() const { return m_dir + '/' + instanceProgram(); }

    qint64 livePid(int i) const;     // pid of the live instance process, 0 when there is none
    bool isRunning(int i) const;     // live, or a dead one the "unkillable" knob keeps listed
    bool isHung(int i) const;        // its process is stopped
    bool isBooted(int i) const;      // running, boot delay over, no boot failure, not hung
    qint64 reportedPid(int i) const; // pid shown in listings: live pid, ghost pid or 0

    // Folder standing for the instance's device storage (screencap writes, pull reads).
    QString deviceRoot(const QString& idx) const;

private:
    bool lock(QString* pErr);
    QJsonArray instances() const;

    QString m_dir;
    QJsonObject m_root;
    std::unique_ptr<QLockFile> m_pLock;
};

} // namespace farmsim
