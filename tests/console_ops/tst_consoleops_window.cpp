// The console's own window drives a real agent on a simulated farm: rows are ticked and menu entries
// picked on the device list's widgets, the operations go out through the PC's command client and
// the results come back through the result server into the rows and tiles. Device groups made,
// refused and deleted from the list's menus, and found again by a restarted window.
#include "answeringdialogs.h"
#include "centertoolmainwnd.h"
#include "consoleharness.h"
#include "consoleopswiring_p.h"
#include "devgroupmenu.h"
#include "dialogscript.h"
#include "farmfixture.h"
#include "mygrpdrawer.h"
#include "notifierrun.h"
#include "opercodes.h"
#include "quietconsole.h"
#include "remotedesktopwnd.h"
#include "resultdisplay.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "simutcprcvobj.h"
#include "taskresultrcver.h"
#include "vedioboxdrawer.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QTcpServer>
#include <QtTest>

namespace {

// A real agent command server on a simulated LDPlayer farm whose instances boot in 300 ms, signed in
// as alice; it reports to a port picked beforehand, where the console's result server is to listen.
struct FarmAgent
{
    FarmFixture farm;
    quint16 resultPort = 0;
    std::unique_ptr<AgentCommandServer> agent;

    bool start(int instances)
    {
        if (!farm.init(FarmFixture::LdPlayer, instances) ||
            !farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("300")))
            return false;
        SimuSettings::setPcNickName(QStringLiteral("机房一"));
        SimuSettings::setDaemonModel(0);
        signIn(QStringLiteral("alice"));
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::AnyIPv4, 0))
                return false;
            resultPort = probe.serverPort();
        }
        SimuTcpRcvObj::Options agentOptions;
        agentOptions.notifier.resultPort = resultPort;
        agent = std::make_unique<AgentCommandServer>(agentOptions);
        return agent->start();
    }
    // A console's operations towards this agent; dialogs empty: the console's own.
    ConsoleOpsOptions consoleOps(std::shared_ptr<OpsDialogs> dialogs = nullptr) const
    {
        ConsoleOpsOptions opts;
        opts.agentPort = agent->port();
        opts.resultPort = resultPort;
        opts.dialogs = std::move(dialogs);
        opts.groupFile = farm.homeDir() + QStringLiteral("/devGroups.json");
        return opts;
    }
    // The agent's PC as its discovery reply lists it.
    static struPcInfoReply reply(int runLimit)
    {
        QVector<SimuInfo> infos;
        SimuInfoXmlGainer().GetSimusInfo(infos);
        QList<struSimuEntry> simus;
        for (const SimuInfo& i : infos)
            simus.append(struSimuEntry{i.adbPort(), i.idx(), i.name()});
        return listedPc(QStringLiteral("agent-pc"), QStringLiteral("机房一"), runLimit, simus);
    }
};

} // namespace

class TstConsoleOpsWindow : public QObject
{
    Q_OBJECT
private slots:
    void operationsFromTheWindow();
    void groupsInTheListAndAfterARestart();
    void questionsThroughTheRealDialogs();
    void farmScaleSelectionAndCreate();
};

void TstConsoleOpsWindow::operationsFromTheWindow()
{
    FARMSIM_OR_SKIP();
    FarmAgent farmAgent;
    QVERIFY2(farmAgent.start(3), qPrintable(farmAgent.farm.error()));
    FarmFixture& farm = farmAgent.farm;
    AgentCommandServer& agent = *farmAgent.agent;

    // The PC is listed once by hand and never heard from again; offline, every operation would be
    // refused.
    QuietConsole console;
    QVERIFY(console.bound());
    CenterToolMainWnd& wnd = console.wnd();
    auto dialogs = std::make_shared<AnsweringDialogs>();
    ConsoleOpsWiring* pOps = attachConsoleOps(wnd, farmAgent.consoleOps(dialogs));
    wnd.initWnd();
    QTRY_VERIFY_WITH_TIMEOUT(pOps->resultRcver()->ServerPort() != 0, 5000);
    QCOMPARE(pOps->resultRcver()->ServerPort(), farmAgent.resultPort);

    const struPcInfoReply reply = FarmAgent::reply(3);
    wnd.slNewPcInfoArrived(reply);
    MyDrawerEx* pc = wnd.leftGrpDrawer()->findPc(QStringLiteral("agent-pc"));
    VedioBoxDrawer* tiles = wnd.rightGrpDrawer()->findPc(QStringLiteral("agent-pc"));
    // Its command client (and thread) comes with its first operation.
    QVERIFY(pc && tiles && !pOps->client(QStringLiteral("agent-pc")));
    QCOMPARE(pOps->groupStore()->GroupOf(QStringLiteral("agent-pc")), DevGroupStore::DefaultGroupName());

    auto pick = [&](int index, const QStringList& idxs) {
        wnd.slNewPcInfoArrived(reply); // the agent keeps answering discovery: the PC stays online
        for (const QString& idx : idxs)
            pc->cell(idx)->checkBox()->setChecked(true);
        emit pc->cell(idxs.first())->sigDrawerCellMenuTriggered(index);
    };
    auto state = [&](const QString& idx) { return pc->cell(idx)->state(); };

    pick(0, {"0", "1"});
    QVERIFY(!wnd.registry()->hasChecked()); // ticks cleared after the entry
    QVERIFY(pOps->client(QStringLiteral("agent-pc")));
    QTRY_COMPARE_WITH_TIMEOUT(pc->cell("0")->stateText(), QStringLiteral("启动中"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(state("0") == eStateRunning && state("1") == eStateRunning, 30000);
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("运行中"));

    // Install to both running emulators.
    QTemporaryDir dir;
    dialogs->file = dir.filePath(QStringLiteral("游戏.apk"));
    QFile apk(dialogs->file);
    QVERIFY(apk.open(QIODevice::WriteOnly) && apk.write(QByteArray(200 * 1024, 'K')) > 0);
    apk.close();
    pick(2, {"0", "1"});
    QTRY_COMPARE_WITH_TIMEOUT(farm.instanceStatus("1").value("installed").toArray().size(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(state("1"), int(eStateRunning), 10000);

    // Close one, rename another, delete the closed one.
    pick(1, {"1"});
    QTRY_COMPARE_WITH_TIMEOUT(state("1"), int(eStateNotStarted), 30000);
    dialogs->text = QStringLiteral("改过的名字");
    pick(4, {"2"});
    QTRY_COMPARE_WITH_TIMEOUT(farm.instanceStatus("2").value("name").toString(), dialogs->text, 30000);
    pick(3, {"1"});
    QTRY_COMPARE_WITH_TIMEOUT(pc->cell("1")->stateText(), QStringLiteral("已删除"), 30000);

    // A refusal from the window: starting a running emulator.
    pick(0, {"0"});
    QCOMPARE(dialogs->shown.size(), 1);
    QCOMPARE(dialogs->shown.first().iRet, OpsCode::StateForbids);
    // A tile's double click opens the PC's viewer, whose begin reaches the agent with the viewer's
    // stream port; another double click in the drawer raises that viewer; closing it sends the end
    // and the drawer lets it go.
    QSignalSpy begins(agent.object(), &SimuTcpRcvObj::sigRmtDesktopBegin);
    QSignalSpy ends(agent.object(), &SimuTcpRcvObj::sigRmtDesktopEnd);
    QTest::mouseDClick(tiles->box(QStringLiteral("0")), Qt::LeftButton, {}, QPoint(60, 60));
    QPointer<RemoteDesktopWnd> viewer = qobject_cast<RemoteDesktopWnd*>(tiles->remoteDesktopDlg());
    QVERIFY(viewer);
    QCOMPARE(viewer->target().strAddr, QStringLiteral("127.0.0.1"));
    QTRY_COMPARE_WITH_TIMEOUT(begins.size(), 1, 10000);
    QCOMPARE(begins.first().at(2).toInt(), viewer->target().iPort);
    QTest::mouseDClick(tiles->box(QStringLiteral("2")), Qt::LeftButton, {}, QPoint(60, 60));
    QCOMPARE(tiles->remoteDesktopDlg(), viewer.data());
    viewer->close();
    QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 5000);
    QVERIFY(!tiles->remoteDesktopDlg());
    QCOMPARE(begins.size(), 1);

    QVERIFY(AgentCommandServer::waitIdle(20000));
    wnd.shutdown();
}

namespace {

// A console window with its operations, listing PCs by hand; nothing answers its discovery.
struct GroupWindow
{
    QuietConsole console{false};
    CenterToolMainWnd* wnd = &console.wnd();
    std::shared_ptr<AnsweringDialogs> dialogs = std::make_shared<AnsweringDialogs>();
    ConsoleOpsWiring* ops = nullptr;

    GroupWindow(const QString& groupFile, const QStringList& pcs)
    {
        ConsoleOpsOptions opts;
        opts.resultPort = 0;
        opts.dialogs = dialogs;
        opts.groupFile = groupFile;
        ops = attachConsoleOps(*wnd, opts);
        for (const QString& pc : pcs) {
            struPcInfoReply reply;
            reply.header.setPcName(pc);
            reply.header.setIpAddr(QStringLiteral("127.0.0.1"));
            reply.simus = {struSimuEntry{21503, QStringLiteral("0"), QStringLiteral("sim-0")}};
            reply.from = QHostAddress(QHostAddress::LocalHost);
            wnd->slNewPcInfoArrived(reply);
        }
    }
    MyGrpDrawer* list() const { return wnd->leftGrpDrawer(); }
    // "group:pc,pc" for every drawer of the list, and the tiles' PC order.
    QStringList shown() const
    {
        QStringList out;
        for (MyDrawerUI* g : list()->groups())
            out << g->grpName() + ":" + list()->pcsOf(g).join(',');
        QStringList tiles;
        for (AbsDrawer* d : wnd->rightGrpDrawer()->drawers())
            tiles << static_cast<VedioBoxDrawer*>(d)->pcName();
        return out << "tiles:" + tiles.join(',');
    }
    void menu(const QString& pc, int entry, const QString& target = QString())
    {
        DevGroupMenu m(ops->groupStore(), list(), *dialogs, {pc});
        QAction* a = m.actions().at(entry);
        if (a->menu()) {
            for (QAction* t : a->menu()->actions()) {
                if (t->text() == target)
                    a = t;
            }
        }
        a->trigger();
    }
};

} // namespace

// Groups from the PCs' menus and the groups' title menus: the list and the tiles change only with
// the store's confirmation, a refused edit changes nothing, and a restarted console shows every PC
// in its group again.
void TstConsoleOpsWindow::groupsInTheListAndAfterARestart()
{
    QTemporaryDir home;
    const QString file = home.filePath(QStringLiteral("devGroups.json"));
    QStringList boxes;
    setResultBox([&boxes](const QString&, const QString& text, bool) {
        boxes << text;
        return true;
    });
    const QStringList pcs{QStringLiteral("pc-a"), QStringLiteral("pc-b"), QStringLiteral("pc-c")};
    {
        GroupWindow w(file, pcs);
        QCOMPARE(w.shown(), (QStringList{"默认分组:pc-a,pc-b,pc-c", "tiles:pc-a,pc-b,pc-c"}));
        w.dialogs->text = QStringLiteral("一楼");
        w.menu(QStringLiteral("pc-a"), 0); // new group, pc-a into it
        w.dialogs->text = QStringLiteral("二楼");
        w.menu(QStringLiteral("pc-b"), 0);
        w.menu(QStringLiteral("pc-c"), 1, QStringLiteral("一楼"));
        QCOMPARE(w.shown(),
                 (QStringList{"默认分组:", "一楼:pc-a,pc-c", "二楼:pc-b", "tiles:pc-a,pc-c,pc-b"}));

        // Into the group it is in: refused with 6 and nothing asked of the store.
        QSignalSpy asked(w.list(), &MyGrpDrawer::sigMoveDev2NewGrp);
        w.list()->slMoveDevsToGrp({QStringLiteral("pc-b")}, QStringLiteral("二楼"));
        QCOMPARE(asked.count(), 0);
        QCOMPARE(boxes, QStringList{QStringLiteral("目标组与源组相同")});

        // A store that cannot write refuses the move: the list stays as it was.
        QVERIFY(QFile::remove(file) && QDir(home.path()).mkdir(QStringLiteral("devGroups.json")));
        w.menu(QStringLiteral("pc-b"), 1, QStringLiteral("默认分组"));
        QCOMPARE(asked.count(), 1);
        QCOMPARE(boxes.last(), QStringLiteral("保存分组失败"));
        QCOMPARE(w.list()->pcsOf(w.list()->findGroup(QStringLiteral("二楼"))), QStringList{"pc-b"});
        QVERIFY(QDir(home.path()).rmdir(QStringLiteral("devGroups.json")));

        // The title menu of 一楼 deletes it: its PCs go to the default group. A title that reads
        // "自定义分组" has no menu.
        std::unique_ptr<QMenu> title(w.list()->findGroup(QStringLiteral("一楼"))->createTitleMenu(nullptr));
        QCOMPARE(title->actions().first()->text(), QStringLiteral("删除分组"));
        title->actions().first()->trigger();
        QCOMPARE(w.shown(), (QStringList{"默认分组:pc-a,pc-c", "二楼:pc-b", "tiles:pc-a,pc-c,pc-b"}));
        QVERIFY(
            !w.list()->addGroup(QStringLiteral("x"), QStringLiteral("自定义分组"))->createTitleMenu(nullptr));
        w.wnd->shutdown();
    }
    GroupWindow again(file, pcs + QStringList{QStringLiteral("pc-d")});
    QCOMPARE(again.shown(),
             (QStringList{"默认分组:pc-a,pc-c,pc-d", "二楼:pc-b", "tiles:pc-a,pc-c,pc-d,pc-b"}));
    again.wnd->shutdown();
    setResultBox(ResultBoxFn());
}

// The operations' questions and refusals through the console's real dialogs and boxes, answered with
// keys: the row's menu picked with the arrow keys, an empty name and a file of 2 GiB refused before
// anything is sent, the refusals naming the PC by its computer name, a cancelled delete question.
// A plain server plays the agent and counts the commands that reach it.
void TstConsoleOpsWindow::questionsThroughTheRealDialogs()
{
    QTemporaryDir home;
    QTcpServer agent;
    QVERIFY(agent.listen(QHostAddress::LocalHost, 0));
    QByteArrayList commands;
    connect(&agent, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* s = agent.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, this, [&commands, s] { commands << s->readAll(); });
    });
    QuietConsole console;
    QVERIFY(console.bound());
    CenterToolMainWnd& wnd = console.wnd();
    ConsoleOpsOptions opts;
    opts.agentPort = agent.serverPort();
    opts.resultPort = 0;
    opts.groupFile = home.filePath(QStringLiteral("devGroups.json"));
    attachConsoleOps(wnd, opts); // the console's own dialogs
    wnd.initWnd();
    wnd.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wnd));
    wnd.slNewPcInfoArrived(listedPc(QStringLiteral("pc-real"), QStringLiteral("机房甲"), 3,
                                    {struSimuEntry{0, QStringLiteral("0"), QStringLiteral("名字A")},
                                     struSimuEntry{0, QStringLiteral("1"), QStringLiteral("名字B")}}));
    wnd.slSetState(QStringLiteral("pc-real"), QStringLiteral("0"), eStateRunning, 100);
    MyDrawerCell* row = wnd.leftGrpDrawer()->findPc(QStringLiteral("pc-real"))->cell(QStringLiteral("0"));
    QVERIFY(row);

    // Ticks the row (when asked) and picks the menu entry; the script answers what follows. The
    // answers are queued before the menu opens, so that a menu or question with a loop of its own
    // cannot hold the test.
    DialogScript script;
    const auto pick = [&](bool tick, const QString& entry, const QList<DialogScript::Step>& then, int ms) {
        if (tick)
            QTest::mouseClick(row->checkBox(), Qt::LeftButton, {}, QPoint(5, row->height() / 2));
        script.then(DialogScript::menuEntry(entry));
        for (const DialogScript::Step& step : then)
            script.then(step);
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 10), row->mapToGlobal(QPoint(20, 10)));
        QApplication::sendEvent(row, &click);
        return QTest::qWaitFor([&] { return script.done(); }, ms);
    };
    QVERIFY(pick(false, QStringLiteral("启动"), {script.box()}, 10000));
    QVERIFY(pick(true, QStringLiteral("启动"), {script.box()}, 10000));
    QVERIFY(pick(true, QStringLiteral("重命名"), {DialogScript::input(QString()), script.box()}, 10000));
    const QString big = home.filePath(QStringLiteral("big.apk")); // typed into the dialog: ASCII
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30)); // sparse
    file.close();
    QVERIFY(pick(true, QStringLiteral("安装apk"), {DialogScript::file(big), script.box()}, 20000));
    QVERIFY(pick(true, QStringLiteral("删除"), {script.box(Qt::Key_Escape)}, 10000));
    QTest::qWait(300);
    QVERIFY2(commands.isEmpty(), commands.join().constData());
    QCOMPARE(script.boxes, (QStringList{QStringLiteral("当前未选择设备或模拟器，无法操作"),
                                        QStringLiteral("\"pc-real\"的名字A已经打开了"),
                                        QStringLiteral("模拟器名字不能为空"),
                                        QStringLiteral("\"big.apk\"有2147483648字节，只能安装小于2GB的文件"),
                                        QStringLiteral("是否删除模拟器？")}));

    // The delete confirmed: the command reaches the agent.
    QVERIFY(pick(true, QStringLiteral("删除"), {script.box(Qt::Key_Return)}, 10000));
    QTRY_VERIFY_WITH_TIMEOUT(commands.join().contains("\"iOperType\":3"), 10000);
    QCOMPARE(row->stateText(), QStringLiteral("删除中"));
    wnd.shutdown();
}

// Selection at the scale of a farm, with the mouse and keys on the real widgets and the console's
// own dialogs, against a real agent command server on a simulated LDPlayer farm: the filter box
// narrows the list, the PC's title menu ticks the stopped emulators shown, a tile's right click
// starts them, the group's title menu ticks the running ones and a tile's menu closes them;
// "新建模拟器" asks how many (bounded by the room the agent leaves) and the farm gets them.
void TstConsoleOpsWindow::farmScaleSelectionAndCreate()
{
    FARMSIM_OR_SKIP();
    FarmAgent farmAgent;
    QVERIFY2(farmAgent.start(4), qPrintable(farmAgent.farm.error()));
    FarmFixture& farm = farmAgent.farm;
    QStringList boxes;
    setResultBox([&boxes](const QString&, const QString& text, bool) {
        boxes << text;
        return true;
    });

    QuietConsole console;
    QVERIFY(console.bound());
    CenterToolMainWnd& wnd = console.wnd();
    attachConsoleOps(wnd, farmAgent.consoleOps()); // the console's own dialogs
    wnd.initWnd();
    wnd.resize(1200, 800);
    wnd.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wnd));
    wnd.slNewPcInfoArrived(FarmAgent::reply(4));
    MyDrawerEx* pc = wnd.leftGrpDrawer()->findPc(QStringLiteral("agent-pc"));
    VedioBoxDrawer* tiles = wnd.rightGrpDrawer()->findPc(QStringLiteral("agent-pc"));
    QVERIFY(pc && tiles && pc->cells().size() == 4);

    DialogScript script;
    const auto rightClick = [](QWidget* w) {
        const QPoint at = w->rect().center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
        QApplication::sendEvent(w, &click);
    };
    // The entry picked with the keys; done once the menu is gone and what it queued has run.
    const auto pickOn = [&](QWidget* w, const QString& entry) {
        script.then(DialogScript::menuEntry(entry));
        rightClick(w);
        const bool picked =
            QTest::qWaitFor([&] { return script.done() && !QApplication::activePopupWidget(); }, 10000);
        QCoreApplication::processEvents();
        return picked;
    };
    const auto ticked = [&] {
        const QList<struPcEntry> pcs = wnd.registry()->checkedPcs();
        return pcs.isEmpty() ? QStringList() : pcs.first().checkedIndices();
    };
    const auto running = [&](const QString& idx) {
        return farm.instanceStatus(idx).value(QStringLiteral("running")).toBool();
    };

    // The farm names its instances 雷电模拟器, LDPlayer-1, 雷电模拟器-2, LDPlayer-3.
    QTest::keyClicks(wnd.filterEdit(), QStringLiteral("ldplayer"));
    QVERIFY(pc->cell("0")->isHidden() && !pc->cell("1")->isHidden() && pc->cell("2")->isHidden());
    QVERIFY(!tiles->box("3")->isHidden() && tiles->box("2")->isHidden());
    QVERIFY(pickOn(pc->titleCell(), QStringLiteral("勾选未启动")));
    QCOMPARE(ticked(), (QStringList{"1", "3"}));
    QVERIFY(tiles->box("1")->isChecked() && !tiles->box("0")->isChecked());
    QVERIFY(pickOn(tiles->box("3"), QStringLiteral("启动")));
    QTRY_VERIFY_WITH_TIMEOUT(ticked().isEmpty(), 5000); // ticks cleared after the operation
    QTRY_VERIFY_WITH_TIMEOUT(
        pc->cell("1")->state() == eStateRunning && pc->cell("3")->state() == eStateRunning, 30000);
    QVERIFY(running("1") && running("3") && !running("0") && !running("2"));

    // Everything shown again; the group's title ticks the running ones, a tile's menu closes them.
    wnd.filterEdit()->clear();
    QVERIFY(!pc->cell("0")->isHidden() && !tiles->box("0")->isHidden());
    QVERIFY(pickOn(wnd.leftGrpDrawer()->defaultGroup()->titleCell(), QStringLiteral("勾选运行中")));
    QCOMPARE(ticked(), (QStringList{"1", "3"}));
    QVERIFY(pickOn(tiles->box("0"), QStringLiteral("关闭")));
    QTRY_VERIFY_WITH_TIMEOUT(!running("1") && !running("3"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(pc->cell("3")->state(), int(eStateNotStarted), 10000);

    // Create: the spin box goes up to the room left (50 less the 4 listed); 2 typed, Enter.
    int maximum = -1;
    QString label;
    script.then(DialogScript::menuEntry(QStringLiteral("新建模拟器")));
    script.then([&](QWidget* w) {
        auto* dlg = qobject_cast<QInputDialog*>(w);
        if (!dlg || !dlg->isVisible() || dlg->inputMode() != QInputDialog::IntInput)
            return false;
        maximum = dlg->intMaximum();
        label = dlg->labelText();
        return true;
    });
    script.then(DialogScript::input(QStringLiteral("2")));
    rightClick(pc->titleCell());
    QVERIFY(QTest::qWaitFor([&] { return script.done(); }, 10000));
    QCOMPARE(maximum, kMaxSimusPerPc - 4);
    QCOMPARE(label, QStringLiteral("在\"机房一\"上新建几个模拟器？（1-46个）"));
    QTRY_COMPARE_WITH_TIMEOUT(farm.status().value(QStringLiteral("instances")).toArray().size(), 6, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(QStringLiteral("机房一创建模拟器成功\r\n")), 2, 10000);

    QVERIFY(AgentCommandServer::waitIdle(20000));
    wnd.shutdown();
    setResultBox(ResultBoxFn());
}

QTEST_MAIN(TstConsoleOpsWindow)
#include "tst_consoleops_window.moc"
