#pragma once

#include "consoletypes.h"
#include "discovery.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QReadWriteLock>
#include <QStringList>
#include <QVector>
#include <functional>

// Online labels of a PC entry.
namespace PcLabel {
inline QString online()
{
    return QStringLiteral("在线");
}
inline QString offline()
{
    return QStringLiteral("离线");
}
} // namespace PcLabel

// One emulator of an agent PC as the console shows it.
struct struSimuRow
{
    QString memuIdx; // key within the PC (exact comparison)
    QString simuName;
    int iState = -1; // states of eSimuState
    int iTime = -1;  // time of that state; -1 until a report arrived
    int iDaemonModel = 0;
    int iSimuType = 0; // emulator product of the PC when the row was added
    bool bChecked = false;
    // The latest screenshot, compressed (JPEG from discovery, PNG from a result); empty while the
    // emulator shows the picture of its state. A new one gets a new serial.
    QByteArray shot;
    bool bShotPng = false;
    quint64 shotSerial = 0;
};

// What changed on an emulator row (AgentRegistry::sigSimusChanged).
namespace SimuRole {
enum : int
{
    State = 1,  // state, state time, daemon model
    Picture = 2 // the screenshot
};
} // namespace SimuRole

struct struSimuChange
{
    QString pcName;
    QString memuIdx;
    int roles = 0;
};
using SimuChangeList = QVector<struSimuChange>;
Q_DECLARE_METATYPE(SimuChangeList)

// One agent PC, keyed by its PC name (exact, case-sensitive).
struct struPcEntry
{
    QString pcName;
    QString nickName;
    QString ipAddr;         // the address the agent announces
    QHostAddress replyAddr; // where its latest reply came from
    int iRunLimit = 0;
    qint32 lastHeard = 0; // console clock, seconds since 1970, of the latest applied PC information
    int iDaemonModel = 0;
    int iSimuType = 0;             // 1 MEmu, 2 LDPlayer
    QString onlineLabel;           // "在线", "离线", or empty before the first applied reply
    bool bSilenceReported = false; // the online checker reported this silence already
    QString argument;              // the operation argument of the PC (APK path, new name)
    QList<struSimuRow> rows;

    const struSimuRow* row(const QString& memuIdx) const;
    int countInState(int iState) const;
    QStringList checkedIndices() const;
    bool isOffline() const { return onlineLabel == PcLabel::offline(); }
    // The address operations connect to: the announced one, or where the replies come from when the
    // announced one cannot be used (empty, not IPv4, 0.0.0.0, or loopback seen from another host).
    QString connectAddress() const;
};

// What applying one PC information reply changed, so that the widgets can follow.
struct struPcInfoChange
{
    QString pcName;
    bool bCreated = false;
    QList<struSimuRow> added;               // in list order
    QStringList removed;                    // indices
    QList<QPair<QString, QString>> renamed; // index, new name
    bool bNickChanged = false;
    bool bAddrChanged = false; // the address operations connect to is another one now
    bool bCameOnline = false;  // the label turned to "在线"
    bool bRefused = false;     // not applied: see AgentRegistry::admits
    struPcEntry entry;         // the entry after the change (rows included)
};

// Bounds of the registry (AgentRegistry::Limits).
struct struRegistryLimits
{
    // PCs listed at most; a PC name heard beyond them is not listed (logged once reached).
    int maxPcs = 1000;
    // A PC's replies are taken from the address it is heard at; another address takes over only once
    // the PC has not been heard from for this long (a new lease, a replaced PC).
    int repinSecs = 30;
};

// The console's registry of agent PCs and their emulators, and the one place where an emulator's
// state, name and picture and a PC's online label are applied. The GUI thread writes it as replies,
// results, the operations' states and the user's ticks arrive; the discovery worker, the online
// checker and the operation checks read it from their threads. Every call takes the lock, so a
// reader always sees one whole state of an entry.
//
// Changes of states and pictures are announced in batches: a producer opens a Batch around a round
// of reports, and the batch ends in one sigSimusChanged with every row that changed, or in one
// sigAllSimusChanged when most rows did. A call outside a batch is a batch of its own. The list and
// the tiles show what the registry holds when they are told.
class AgentRegistry : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // seconds since 1970-01-01 UTC

    using Limits = struRegistryLimits;
    // What admits() says of a reply.
    enum class eAdmit
    {
        Taken,
        OverCap, // a new PC while maxPcs are listed
        Pinned   // the PC is heard at another address
    };

    explicit AgentRegistry(Clock clock = Clock(), Limits limits = Limits());

    // Collects the changes made while it lives into one notice (batches nest).
    class Batch
    {
    public:
        explicit Batch(AgentRegistry& reg);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        AgentRegistry& m_reg;
    };

    qint64 now() const;

    const Limits& limits() const { return m_limits; }

    // Whether a reply about the PC that came from `from` is taken (a null address always is).
    eAdmit admits(const QString& pcName, const QHostAddress& from) const;

    // Folds one PC information reply in: new PC, rows added, renamed and removed, run limit, nick
    // name, daemon model, product, last-heard time and the "在线" label. A reply that admits() does
    // not take changes nothing (bRefused).
    struPcInfoChange applyPcInfo(const struPcUdpInfo& header, const QList<struSimuEntry>& simus,
                                 const QHostAddress& from = QHostAddress());

    // A state report applies when its time is later than the shown one, or when it is -1. Returns
    // whether it applied; unknown PCs or emulators change nothing.
    bool applyState(const QString& pcName, const QString& memuIdx, int iState, int iTime);
    // The same, together with the emulator's daemon model (iDaemonModel < 0 leaves it). Returns
    // whether the row changed; pOut receives the row as it is now.
    bool applyState(const QString& pcName, const QString& memuIdx, int iState, int iTime, int iDaemonModel,
                    struSimuRow* pOut);
    // A round of state reports from discovery, in one batch (one notice): each is applied as by
    // applyState (with its daemon model), and its thumbnail, when it has one, as by setPicture.
    void applyReports(const SimuReportList& reports);
    // A new screenshot of the emulator; an emulator that is not listed takes none.
    bool setPicture(const QString& pcName, const QString& memuIdx, const QByteArray& bytes, bool bPng);
    // The state the emulator would show once this report were applied; false when it is not listed.
    bool stateAfter(const QString& pcName, const QString& memuIdx, int iState, int iTime, int& shown) const;

    // "离线", and every emulator of the PC to state -1 at time -1. False for an unknown PC.
    bool setOffline(const QString& pcName);
    // PCs not heard from for more than 9 s (signed 32-bit difference, so a clock set back keeps
    // them online), in list order.
    QStringList silentPcs(qint64 nowSecs) const;
    // The silent PCs not returned by an earlier call since they were last heard: each PC once per
    // silence.
    QStringList takeNewlySilentPcs(qint64 nowSecs);
    bool isSilent(const QString& pcName, qint64 nowSecs) const;

    bool contains(const QString& pcName) const;
    // The PC's current address for operations (struPcEntry::connectAddress); empty when unknown.
    QString connectAddress(const QString& pcName) const;
    // The address the PC's replies come from; null when unknown.
    QHostAddress replyAddress(const QString& pcName) const;
    // Whether some listed PC is heard at this address.
    bool isPcAddress(const QHostAddress& addr) const;
    bool entry(const QString& pcName, struPcEntry& out) const;
    bool row(const QString& pcName, const QString& memuIdx, struSimuRow& out) const;
    // The rows of the changes as they are now, under one lock, one per change: a row no longer listed
    // comes back empty (no index).
    QVector<struSimuRow> rows(const SimuChangeList& changes) const;
    QList<struPcEntry> snapshot() const;
    int pcCount() const;
    int simuCount() const;

    // Ticks of the device list.
    bool setChecked(const QString& pcName, const QString& memuIdx, bool bChecked);
    void clearChecks();
    bool hasChecked() const;
    // The PCs with ticked rows, in list order.
    QList<struPcEntry> checkedPcs() const;

    void setArgument(const QString& pcName, const QString& argument);
    QString argument(const QString& pcName) const;

signals:
    // The rows that changed in one batch, each once with the union of its changes.
    void sigSimusChanged(SimuChangeList changes);
    // Most rows changed in one batch: every row should be shown again.
    void sigAllSimusChanged(int roles);

private:
    // Under the write lock. pcAt is the PC's position in the list.
    void noteChange(int pcAt, const QString& pcName, const QString& memuIdx, int roles);
    // The state (and daemon model) of a report into the row, under the write lock; whether it changed.
    bool takeReport(int pcAt, struSimuRow& r, int iState, int iTime, int iDaemonModel);
    void takePicture(int pcAt, struSimuRow& r, const QByteArray& bytes, bool bPng);
    // Takes a newer state into the row (a state that shows its own picture drops the screenshot);
    // the roles that changed.
    int takeState(struSimuRow& r, int iState, int iTime);
    void endBatch();

    int pcAt(const QString& pcName) const; // -1: not listed
    struPcEntry* find(const QString& pcName);
    const struPcEntry* find(const QString& pcName) const;
    struSimuRow* findRow(int pcAt, const QString& memuIdx);
    const struSimuRow* findRow(int pcAt, const QString& memuIdx) const;
    void indexRows(int pcAt);
    void mergeRows(int pcAt, const QList<struSimuEntry>& simus, int iSimuType, struPcInfoChange& change);

    eAdmit admitsLocked(const struPcEntry* pc, const QHostAddress& from, qint64 nowSecs) const;

    Clock m_clock;
    Limits m_limits;
    mutable QReadWriteLock m_lock;
    qint64 m_overCap = 0;     // PC names not listed for the cap
    QList<struPcEntry> m_pcs; // list order
    QHash<QString, int> m_indexOf;
    QVector<QHash<QString, int>> m_rowAt; // per PC: index -> position of the row
    int m_rowCount = 0;
    int m_batchDepth = 0; // GUI thread
    SimuChangeList m_changes;
    QHash<QPair<int, QString>, int> m_changeAt; // (PC position, index) -> position in m_changes
    // More than half the rows changed in this batch: the notice will be the whole range, so the rows
    // are no longer listed one by one; only their roles are gathered.
    bool m_bAllChanged = false;
    int m_allRoles = 0;
    quint64 m_shotSerial = 0;
};
