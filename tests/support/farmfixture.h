#pragma once

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A simulated emulator farm in a temporary home, for tests that drive the agent's emulator control
// against the farmsim program ($TOVIA_BIN_DIR/farmsim).
//
//   FarmFixture farm;
//   if (!farm.init(FarmFixture::MEmu, 3))
//       QSKIP(qPrintable(farm.error()));
//   farm.setKnob("bootDelayMs", "100");
//   ... SimuStartup("MEmu_1", nullptr) ...
//
// init() makes a temporary root with
//   <root>/home              the agent's data directory (SimuSettings::setDataDir)
//   <root>/MEmu or <root>/LDPlayer   the install folder laid out by "farmsim init"
//                            (MEmu also has <root>/MEmuHyperv/MEmuManage.exe)
// and writes the settings common/dir, common/simuType, common/startupTimeout and the "tuning/"
// waits, so that a start or a failed close takes well under a second per poll. When the process has a
// display, the first init() moves it to a display of its own (XvfbServer::isolateDisplay), so the
// instances' windows never meet those of other tests.
// The destructor kills every process started from the root (instances, hung ones included, and
// instance consoles) and removes the root.
class FarmFixture
{
public:
    enum Product
    {
        MEmu = 1,    // common/simuType 1
        LdPlayer = 2 // common/simuType 2
    };

    // Polling sleep and tool time-outs the fixture configures.
    static constexpr int kSleepStepMs = 50;
    static constexpr int kToolTimeoutMs = 15000;
    // Polls of a start's two waits (common/startupTimeout): 60 x 50 ms = 3 s each.
    static constexpr int kStartupPolls = 60;

    FarmFixture();
    ~FarmFixture();
    FarmFixture(const FarmFixture&) = delete;
    FarmFixture& operator=(const FarmFixture&) = delete;

    // $TOVIA_BIN_DIR/farmsim, or empty when it is not there.
    static QString farmsimPath();

    // Lays out a farm of `instances` instances and points the settings at it. False with error().
    bool init(Product product, int instances);
    QString error() const { return m_error; }

    Product product() const { return m_product; }
    QString rootDir() const;
    QString homeDir() const;
    QString installDir() const;
    // Path of an instance's MEmu description file.
    QString memuFile(const QString& memuIdx) const;

    // "farmsim set": for the whole farm, or for one instance when `memuIdx` is given.
    bool setKnob(const QString& knob, const QString& value, const QString& memuIdx = QString());

    // Runs a tool of the farm (e.g. "adb.exe", "dnconsole.exe"); returns the exit code, -1 when it
    // did not run. Output streams go to the optional out-parameters.
    int runTool(const QString& tool, const QStringList& args, QString* pOut = nullptr,
                QString* pErr = nullptr) const;
    // "farmsim status": the farm's state with live run states ("instances": running, online, hung, pid).
    QJsonObject status() const;
    QJsonObject instanceStatus(const QString& memuIdx) const;
    // The instances' indexes, in the farm's order.
    QStringList indexes() const;

    // Starts an instance directly through the product's tool (not through the agent) and waits until
    // the farm reports it running; false when it did not come up within `timeoutMs`.
    bool startInstance(const QString& memuIdx, int timeoutMs = 10000);
    // Waits until `pred` holds for the instance's status, bounded.
    bool waitInstance(const QString& memuIdx, const QString& key, bool value, int timeoutMs = 10000) const;

    // Kills every process whose program lies under the root. Returns how many it found.
    int killFarmProcesses();

    // The instance's event log as farmsim writes it: every input event and every line its adb shell
    // refused, in order ({"ms", "cmd", "args"} each).
    QJsonArray events(const QString& memuIdx) const;
    // Pids of the farm's long-lived "adb -s <serial> shell" processes (any serial when empty).
    QList<qint64> shellPids(const QString& serial = QString()) const;

private:
    std::unique_ptr<QTemporaryDir> m_pRoot;
    Product m_product = MEmu;
    QString m_error;
};

// Skips the calling test function when farmsim is not built.
#define FARMSIM_OR_SKIP()                                                                                    \
    do {                                                                                                     \
        if (FarmFixture::farmsimPath().isEmpty())                                                            \
            QSKIP("farmsim is not built ($TOVIA_BIN_DIR/farmsim missing)");                                  \
    } while (0)

// An X server (Xvfb) of its own for tests that look for emulator windows. Sets DISPLAY of this
// process while it runs, so instances started afterwards open their windows on it.
// Each server has a display number of its own, guarded by Xvfb's lock file, so test programs running
// side by side (in network namespaces or not) never share one; it ends with its object, and also when
// this process dies without cleaning up.
class XvfbServer
{
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // False with error() when Xvfb is missing or did not come up within kStartMs.
    bool start();
    QString error() const { return m_error; }
    QString display() const { return m_display; }

    // Windows of emulator instances are found by their titles, and the farms of different tests use
    // the same titles. When this process was given a display ($DISPLAY set, e.g. by xvfb-run), the
    // first call replaces it with a display of this process alone, kept until the process ends, so
    // that no window of a test running alongside is ever taken for one of ours. Without $DISPLAY
    // nothing changes. Returns the display in use (empty when none); when no display of its own can
    // be had, it warns once and the shared one stays in use.
    static QString isolateDisplay();

    static constexpr int kStartMs = 20000;
    static constexpr int kFirstDisplay = 1000;
    static constexpr int kDisplayTries = 40;

private:
    // Starts a server on display n; false when n is taken or the deadline passed.
    bool startOn(const QString& xvfb, int n, const QDeadlineTimer& deadline);

    qint64 m_pid = 0;
    QString m_display;
    QByteArray m_oldDisplay;
    bool m_hadDisplay = false;
    QString m_error;
    std::unique_ptr<QTemporaryDir> m_pDir;
};
