// Group control figures: 50 emulators on 5 simulated PCs (network namespaces of lanns.sh, the real
// agent ToviaSimClient on a simulated LDPlayer farm of 10 emulators on each, screens of different
// sizes), the console's window in this process on the console host. 100 clicks are made on the group
// window's live screen with the mouse; for every emulator the time from the click to the `input tap`
// its farm logged (farmsim writes a timestamp per event), lost and out-of-order taps; the live view's
// pictures per second and their age when painted (capture on the agent to paint on the console,
// both on this machine's clock); agent CPU per replaying emulator, against the same agents idle.
// Yardsticks in the same run: a TCP connect to an agent across the simulated LAN, and an `input tap`
// through a new adb process (what a process start per event would cost).
// Run as root: xvfb-run -a -s "-screen 0 1280x800x24" <build>/bin/group_bench [--clicks N] [--gap MS]
#include "centertoolmainwnd.h"
#include "consoleopswiring_p.h"
#include "farmfixture.h"
#include "farmkey.h"
#include "groupcontrolwnd.h"
#include "groupinput.h"
#include "groupscreen.h"
#include "grpdraweroper.h"
#include "lanagent.h"
#include "lannet.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "resultdisplay.h"
#include "simusettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const QString kUser = QStringLiteral("benchuser");
const QString kPassword = QStringLiteral("pw-group-bench");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
constexpr quint16 kAccountPort = 8750;
constexpr int kPcs = 5;
constexpr int kPerPc = 10;
constexpr int kListedMs = 90000;
constexpr int kRunningMs = 120000;
const QStringList kHosts{"a", "b", "c", "d", "e"};
const QList<QSize> kScreens{{720, 1280}, {360, 640}, {540, 960}, {720, 1280}, {480, 800}};

struct Host
{
    QString pc; // tovia-pc-<x>
    QString addr;
    QSize screen;
    FarmFixture farm;
    LanHostProgram agent;
    qint64 pid = 0; // the agent process
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t i = size_t(std::min<double>(v.size() - 1, p / 100.0 * double(v.size() - 1) + 0.5));
    return v[i];
}

// CPU seconds (user + system) of a process so far.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = f.readAll();
    const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // fields after the name: state(3) ... utime(14) stime(15), counted from 1 with pid and comm
    const double ticks = rest.value(11).toDouble() + rest.value(12).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// The process running this program file.
qint64 pidOfProgram(const QString& program)
{
    const QString want = QFileInfo(program).canonicalFilePath();
    for (const QString& e : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (ok && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == want)
            return pid;
    }
    return 0;
}

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

class GroupBench
{
public:
    int run(int clicks, int gapMs);

private:
    bool setUp(QString& error);
    bool prepareHost(Host& h, int i, QString& error);
    void openConsole();
    MyDrawerEx* pcRow(const QString& pc) const { return m_pWnd->leftGrpDrawer()->findPc(pc); }
    bool allListed() const;
    bool allRunning() const;
    void tickAll();
    double connectYardstickMs();
    double adbProcessYardstickMs();
    void measure(int clicks, int gapMs);
    void tearDown();

    QString m_prefix;
    bool m_lanUp = false;
    NetnsSwitch m_netns;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    std::vector<std::unique_ptr<Host>> m_hosts;
    std::unique_ptr<CenterToolMainWnd> m_pWnd;
    ConsoleOpsWiring* m_pOps = nullptr;
    QPointer<GroupControlWnd> m_pGroup;
};

bool GroupBench::prepareHost(Host& h, int i, QString& error)
{
    h.pc = QStringLiteral("tovia-pc-") + kHosts.at(i);
    h.addr = QStringLiteral("10.77.0.%1").arg(i + 2);
    h.screen = kScreens.at(i);
    LanAgentOptions o(m_prefix + QLatin1Char('-') + kHosts.at(i), kUser, kPassword, kConsoleIp, kAccountPort);
    o.instances = kPerPc;
    o.knobs = {{QStringLiteral("bootDelayMs"), QStringLiteral("500")},
               {QStringLiteral("screenWidth"), QString::number(h.screen.width())},
               {QStringLiteral("screenHeight"), QString::number(h.screen.height())}};
    o.nick = QStringLiteral("机房") + kHosts.at(i).toUpper();
    o.periods.startupTimeoutPolls = 400;
    o.runLimit = kPerPc;
    return prepareLanAgent(h.farm, h.agent, o, error);
}

bool GroupBench::setUp(QString& error)
{
    const ToolRun up = lanUp(QStringLiteral("tvgbench"), m_prefix, kPcs);
    if (up.exitCode == 3) {
        error = QStringLiteral("skipped: no network namespaces here (needs root): ") + up.output;
        return false;
    }
    if (up.exitCode != 0) {
        error = QStringLiteral("LAN set-up failed: ") + up.output;
        return false;
    }
    m_lanUp = true;
    if (!m_netns.enter(m_prefix + QStringLiteral("-con"), error))
        return false;
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    if (!m_pAccountSvc)
        return false;
    for (int i = 0; i < kPcs; ++i) {
        m_hosts.push_back(std::make_unique<Host>());
        if (!prepareHost(*m_hosts.back(), i, error))
            return false;
    }
    openConsole();
    if (!QTest::qWaitFor([this] { return allListed(); }, kListedMs)) {
        error = QStringLiteral("not every PC was listed with its emulators");
        return false;
    }
    for (auto& h : m_hosts) {
        h->pid = pidOfProgram(h->agent.program);
        for (MyDrawerCell* c : pcRow(h->pc)->cells())
            c->checkBox()->setChecked(true);
        emit pcRow(h->pc)->cells().first()->sigDrawerCellMenuTriggered(eMenuStart);
    }
    if (!QTest::qWaitFor([this] { return allRunning(); }, kRunningMs)) {
        error = QStringLiteral("not every emulator came up");
        return false;
    }
    return true;
}

void GroupBench::openConsole()
{
    SimuSettings::setDataDir(m_scratch.path());
    CLoginRet login;
    login.strUserName = kUser;
    login.strNickName = QStringLiteral("测速员");
    login.baFarmKey = FarmKey::derive(kUser, kPassword);
    LoginRecord::set(login);
    setResultBox([](const QString&, const QString& text, bool) {
        say("result box: %s\n", qPrintable(text));
        return true;
    });
    CenterToolMainWnd::Options o;
    o.trayIcon = false;
    m_pWnd = std::make_unique<CenterToolMainWnd>(o);
    ConsoleOpsOptions opts;
    opts.groupFile = m_scratch.filePath(QStringLiteral("devGroups.json"));
    m_pOps = attachConsoleOps(*m_pWnd, opts);
    m_pWnd->initWnd();
    m_pWnd->show();
}

bool GroupBench::allListed() const
{
    for (const auto& h : m_hosts) {
        MyDrawerEx* p = pcRow(h->pc);
        if (!p || p->cells().size() < kPerPc)
            return false;
    }
    return true;
}

bool GroupBench::allRunning() const
{
    for (const auto& h : m_hosts) {
        for (MyDrawerCell* c : pcRow(h->pc)->cells()) {
            if (c->state() != eStateRunning)
                return false;
        }
    }
    return true;
}

void GroupBench::tickAll()
{
    for (const auto& h : m_hosts) {
        for (MyDrawerCell* c : pcRow(h->pc)->cells())
            c->checkBox()->setChecked(true);
    }
}

double GroupBench::connectYardstickMs()
{
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        QTcpSocket s;
        QElapsedTimer t;
        t.start();
        s.connectToHost(m_hosts.at(size_t(i % kPcs))->addr, Tovia::kCommandPort);
        if (s.waitForConnected(2000))
            ms.push_back(t.nsecsElapsed() / 1e6);
        s.abort();
    }
    return percentile(ms, 50);
}

// An `input tap` through a new adb process, as a replay without long-lived shells would do per event.
double GroupBench::adbProcessYardstickMs()
{
    const FarmFixture& farm = m_hosts.front()->farm;
    QString out;
    farm.runTool(QStringLiteral("adb.exe"), {QStringLiteral("devices")}, &out);
    QString serial;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        const QStringList w = line.simplified().split(QLatin1Char(' '));
        if (w.size() == 2 && w.at(1) == QLatin1String("device"))
            serial = w.at(0);
    }
    std::vector<double> ms;
    for (int i = 0; serial.size() && i < 10; ++i) {
        QElapsedTimer t;
        t.start();
        if (farm.runTool(QStringLiteral("adb.exe"), {"-s", serial, "shell", "input", "tap", "1", "1"}) == 0)
            ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return percentile(ms, 50);
}

void GroupBench::measure(int clicks, int gapMs)
{
    const Host& lead = *m_hosts.front();
    GroupScreen* screen = m_pGroup->screen();
    // Live view: pictures painted and their age.
    std::vector<double> ages;
    int painted = 0;
    bool counting = false;
    QObject::connect(screen, &GroupScreen::sigPictureShown, screen, [&](int) {
        if (!counting)
            return;
        ++painted;
        const qint64 captured = screen->picture().text(QStringLiteral("captureMs")).toLongLong();
        if (captured > 0)
            ages.push_back(double(QDateTime::currentMSecsSinceEpoch() - captured));
    });

    // The agents idle (live view running, nothing replayed) as the CPU yardstick.
    const auto agentCpu = [this] {
        double sum = 0;
        for (const auto& h : m_hosts)
            sum += cpuSeconds(h->pid);
        return sum;
    };
    QElapsedTimer wall;
    double cpu0 = agentCpu();
    wall.start();
    QTest::qWait(5000);
    const double idleCpuPct = (agentCpu() - cpu0) / (wall.elapsed() / 1000.0) * 100.0;

    const QSize picture = screen->picture().size();
    std::vector<qint64> clickMs(static_cast<size_t>(clicks));
    std::vector<QPointF> fractions(static_cast<size_t>(clicks));
    const qint64 t0 = QDateTime::currentMSecsSinceEpoch();
    counting = true;
    cpu0 = agentCpu();
    wall.restart();
    for (int i = 0; i < clicks; ++i) {
        const double fx = 0.05 + 0.9 * i / std::max(1, clicks - 1);
        const QRectF shown = GroupInput::shownRect(screen->size(), picture);
        const QPoint at(int(shown.x() + fx * shown.width()), int(shown.y() + 0.5 * shown.height()));
        fractions[size_t(i)] = *GroupInput::fractionOf(at, screen->size(), picture);
        clickMs[size_t(i)] = QDateTime::currentMSecsSinceEpoch();
        QTest::mouseClick(screen, Qt::LeftButton, {}, at);
        QTest::qWait(gapMs);
    }
    // Every follower's taps, or the wait is over.
    const auto tapsOf = [t0](const Host& h, const QString& idx) {
        QList<QPair<qint64, int>> taps; // ms, X
        for (const QJsonValue& v : h.farm.events(idx)) {
            const QJsonObject e = v.toObject();
            if (e.value("cmd").toString() == QLatin1String("tap") && qint64(e.value("ms").toDouble()) >= t0)
                taps.append(
                    {qint64(e.value("ms").toDouble()), e.value("args").toArray().at(0).toString().toInt()});
        }
        return taps;
    };
    const bool allLogged = QTest::qWaitFor(
        [&] {
            for (const auto& h : m_hosts) {
                for (int k = 0; k < kPerPc; ++k) {
                    if (tapsOf(*h, QString::number(k)).size() < clicks)
                        return false;
                }
            }
            return true;
        },
        30000);
    if (!allLogged)
        say("  (not every follower logged every tap within 30 s)\n");
    const double clickWallS = wall.elapsed() / 1000.0;
    const double replayCpuPct = (agentCpu() - cpu0) / clickWallS * 100.0;
    counting = false;
    const double fps = painted / clickWallS;

    std::vector<double> latency;
    int lost = 0;
    int outOfOrder = 0;
    for (const auto& h : m_hosts) {
        for (int k = 0; k < kPerPc; ++k) {
            const QList<QPair<qint64, int>> taps = tapsOf(*h, QString::number(k));
            int lastClick = -1;
            QVector<bool> seen(clicks, false);
            for (const auto& [ms, x] : taps) {
                int best = -1;
                for (int i = 0; i < clicks; ++i) {
                    const int want = qRound(fractions[size_t(i)].x() * (h->screen.width() - 1));
                    if (!seen[i] && qAbs(want - x) <= 1) {
                        best = i;
                        break;
                    }
                }
                if (best < 0)
                    continue;
                seen[best] = true;
                outOfOrder += best < lastClick ? 1 : 0;
                lastClick = std::max(lastClick, best);
                latency.push_back(double(ms - clickMs[size_t(best)]));
            }
            lost += int(std::count(seen.begin(), seen.end(), false));
        }
    }
    const int followers = kPcs * kPerPc;
    say("group control: %d emulators on %d PCs, %d clicks %d ms apart on the window's live screen (lead "
        "%dx%d)\n",
        followers, kPcs, clicks, gapMs, lead.screen.width(), lead.screen.height());
    say("  click -> `input tap` logged by farmsim, all followers: p50 %.1f ms, p95 %.1f ms, max %.1f ms "
        "(%zu taps; goal p95 <= 150 ms)\n",
        percentile(latency, 50), percentile(latency, 95), percentile(latency, 100), latency.size());
    say("  lost %d of %d, out of order %d\n", lost, clicks * followers, outOfOrder);
    say("  live view %dx%d: %.1f pictures/s painted during the clicks; age at paint p50 %.0f ms, p95 %.0f "
        "ms\n",
        picture.width(), picture.height(), fps, percentile(ages, 50), percentile(ages, 95));
    say("  agent CPU (5 agents): idle with the live view %.1f %% of a core, replaying %.1f %% -> %.2f %% of "
        "a "
        "core per replaying emulator (over idle: %.2f %%)\n",
        idleCpuPct, replayCpuPct, replayCpuPct / followers, (replayCpuPct - idleCpuPct) / followers);
}

void GroupBench::tearDown()
{
    if (m_pGroup)
        m_pGroup->closeWithoutAsking();
    if (m_pWnd)
        m_pWnd->shutdown();
    m_pWnd.reset();
    setResultBox(ResultBoxFn());
    for (auto& h : m_hosts)
        h->agent.kill();
    m_netns.leave();
    lanDown(m_prefix, m_lanUp, m_pAccountSvc);
}

int GroupBench::run(int clicks, int gapMs)
{
    QString error;
    if (!m_scratch.isValid() || !setUp(error)) {
        say("group_bench: %s\n", qPrintable(error));
        tearDown();
        return error.startsWith(QLatin1String("skipped")) ? 0 : 1;
    }
    say("yardstick: TCP connect to an agent across the simulated LAN p50 %.2f ms\n", connectYardstickMs());
    say("yardstick: `input tap` through a new adb process p50 %.1f ms\n", adbProcessYardstickMs());
    tickAll();
    emit pcRow(m_hosts.front()->pc)->cells().first()->sigDrawerCellMenuTriggered(eMenuGroupControl);
    m_pGroup = m_pOps->groupControlWnd();
    const QSize leadScreen = m_hosts.front()->screen;
    if (!m_pGroup || !QTest::qWaitFor([&] { return !m_pGroup->screen()->picture().isNull(); }, 30000)) {
        say("group_bench: the lead's live screen did not show\n");
        tearDown();
        return 1;
    }
    // The lead is A's first emulator (720x1280), whichever PC the list shows first.
    const QList<GroupMember> members = m_pGroup->service()->members();
    for (int i = 0; i < members.size(); ++i) {
        if (members.at(i).pcKey == m_hosts.front()->pc && members.at(i).memuIdx == QLatin1String("0"))
            m_pGroup->service()->setLead(i);
    }
    m_pGroup->resize(1000, 760);
    if (!QTest::qWaitFor([&] { return m_pGroup->screen()->picture().size() == leadScreen; }, 30000)) {
        say("group_bench: the lead's live screen did not show\n");
        tearDown();
        return 1;
    }
    QTest::qWait(500);
    measure(clicks, gapMs);
    tearDown();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int clicks = 100;
    int gapMs = 60;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--clicks"))
            clicks = std::max(1, args.at(i + 1).toInt());
        if (args.at(i) == QLatin1String("--gap"))
            gapMs = std::max(0, args.at(i + 1).toInt());
    }
    return GroupBench().run(clicks, gapMs);
}
