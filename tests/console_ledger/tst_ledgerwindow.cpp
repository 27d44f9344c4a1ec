// The results ledger in the console's own window. One start across two PCs: a real agent on a
// simulated farm, on which one emulator fails to boot, and a PC that takes the command and never
// reports. Its failed and unanswered targets sent again from the pane's button (the agent gets a
// command for the failed emulator only), a retry refused by the checks, the console started again
// with its ledger kept. And thirty PCs that cannot be reached: one result box, which says where the
// other failures went.
#include "answeringdialogs.h"
#include "centertoolmainwnd.h"
#include "consoleharness.h"
#include "consoleopswiring_p.h"
#include "farmfixture.h"
#include "jsoncodec.h"
#include "mygrpdrawer.h"
#include "resultboxgate.h"
#include "resultdisplay.h"
#include "resultsledgerpane.h"
#include "resultsledgerwiring.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "simutcprcvobj.h"
#include "taskresultrcver.h"
#include "widgetopsdialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeView>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

namespace {

// A PC whose agent takes every command and never reports: the targets of each document it got.
class SilentAgent : public QObject
{
public:
    QTcpServer server;
    QList<QStringList> commands;

    bool listen(quint16 port)
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                auto* bytes = new QByteArray;
                connect(s, &QTcpSocket::readyRead, s, [s, bytes] { *bytes += s->readAll(); });
                connect(s, &QTcpSocket::disconnected, this, [this, s, bytes] {
                    QList<struSimuOper> opers;
                    JsonCodec::parseCommandDoc(*bytes + s->readAll(), opers, QString());
                    QStringList idxs;
                    for (const struSimuOper& o : opers)
                        idxs << QStringLiteral("%1:%2").arg(o.iOperType).arg(o.memuIdx);
                    commands << idxs;
                    delete bytes;
                    s->deleteLater();
                });
            }
        });
        return server.listen(QHostAddress::LocalHostIPv6, port);
    }
};

struPcInfoReply pcReply(const QString& name, const QString& addr, const QList<struSimuEntry>& simus)
{
    struPcInfoReply reply;
    reply.header.setPcName(name);
    reply.header.setNickName(name);
    reply.header.setIpAddr(addr);
    reply.header.iRunLimit = 4;
    reply.header.iSimuType = 2;
    reply.simus = simus;
    return reply;
}

// The console's window with its operations and ledger; PCs listed by hand, discovery unanswered.
struct Console
{
    QUdpSocket silent;
    std::unique_ptr<CenterToolMainWnd> wnd;
    std::shared_ptr<AnsweringDialogs> dialogs = std::make_shared<AnsweringDialogs>();
    ConsoleOpsWiring* ops = nullptr;
    ResultsLedgerWiring* ledger = nullptr;
    std::shared_ptr<qint64> clockSecs = std::make_shared<qint64>(QDateTime::currentSecsSinceEpoch());

    Console(quint16 agentPort, quint16 resultPort, const ResultsLedger::Options& lo,
            std::shared_ptr<OpsDialogs> opsDialogs = nullptr)
    {
        silent.bind(QHostAddress::LocalHost, 0);
        CenterToolMainWnd::Options o;
        o.queryPort = silent.localPort();
        o.targets = {QHostAddress(QHostAddress::LocalHost)};
        o.trayIcon = false;
        // Listed once: online however long the test runs, until the test moves the clock on.
        o.clock = [p = clockSecs] { return *p; };
        wnd = std::make_unique<CenterToolMainWnd>(o);
        ConsoleOpsOptions opts;
        opts.agentPort = agentPort;
        opts.resultPort = resultPort;
        opts.dialogs = opsDialogs ? opsDialogs : dialogs;
        ops = attachConsoleOps(*wnd, opts);
        ledger = attachResultsLedger(*wnd, *ops, lo);
        wnd->initWnd();
        wnd->resize(1200, 800);
        wnd->show();
    }
    ~Console() { wnd->shutdown(); }
    ResultsLedger* model() const { return ledger->ledger(); }
    // Ticks the rows' check boxes and picks the menu entry on the first of them.
    void pick(int index, const QList<QPair<QString, QString>>& rows)
    {
        MyDrawerCell* first = nullptr;
        for (const auto& r : rows) {
            MyDrawerCell* c = wnd->leftGrpDrawer()->findPc(r.first)->cell(r.second);
            c->checkBox()->setChecked(true);
            first = first ? first : c;
        }
        emit first->sigDrawerCellMenuTriggered(index);
    }
    // A click on the operation's row of the pane, then on "重试失败".
    void clickRetry(qint64 id)
    {
        ResultsLedgerPane* pane = ledger->pane();
        pane->selectEntry(id);
        const QModelIndex i = pane->view()->currentIndex();
        QTest::mouseClick(pane->view()->viewport(), Qt::LeftButton, {}, pane->view()->visualRect(i).center());
        QCOMPARE(pane->selectedEntry(), id);
        QTRY_VERIFY_WITH_TIMEOUT(pane->retryBtn()->isEnabled(), 2000); // the pane follows in batches
        QTest::mouseClick(pane->retryBtn(), Qt::LeftButton);
    }
    bool listed(const QStringList& pcs) const
    {
        return std::all_of(pcs.begin(), pcs.end(),
                           [this](const QString& pc) { return wnd->leftGrpDrawer()->findPc(pc) != nullptr; });
    }
    qint64 newest() const { return model()->entryIdAt(model()->index(0, 0)); }
};

QString states(const ResultsLedger* l, qint64 id)
{
    QStringList out;
    const struLedgerEntry* e = l->entry(id);
    if (!e)
        return QStringLiteral("no entry");
    for (const struLedgerTarget& t : e->targets)
        out << QStringLiteral("%1/%2:%3").arg(t.pcName, t.memuIdx, LedgerText::stateText(t.state));
    return out.join(' ');
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

} // namespace

class TstLedgerWindow : public QObject
{
    Q_OBJECT
private slots:
    void operationAcrossPcsRetriedAndKept();
    void oneBoxForThirtyFailures();
};

void TstLedgerWindow::operationAcrossPcsRetriedAndKept()
{
    FARMSIM_OR_SKIP();
    FarmFixture farm;
    QVERIFY2(farm.init(FarmFixture::LdPlayer, 3), qPrintable(farm.error()));
    // Boots take many of the agent's polls; emulator 1 never comes up, so the agent gives up on it.
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("1500")));
    QVERIFY(farm.setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), QStringLiteral("1")));
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    SimuSettings::setDaemonModel(0);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 80);
    signIn(QStringLiteral("alice"));
    const quint16 resultPort = freePort();
    SimuTcpRcvObj::Options agentOptions;
    agentOptions.notifier.resultPort = resultPort;
    AgentCommandServer agent(agentOptions);
    QVERIFY(agent.start());
    SilentAgent silentPc;
    if (!silentPc.listen(agent.port()))
        QSKIP("no IPv6 loopback for the PC that never reports");
    QSignalSpy accepted(agent.object(), &SimuTcpRcvObj::sigCommandAccepted);

    QTemporaryDir dir;
    ResultsLedger::Options lo;
    lo.dbPath = dir.filePath(QStringLiteral("results.db"));
    lo.startSecs = 15; // beyond the agent's own give-up on a boot
    lo.startPerTargetSecs = 1;
    lo.sweepMs = 200;
    lo.flushMs = 50;
    QVector<SimuInfo> infos;
    SimuInfoXmlGainer().GetSimusInfo(infos);
    QList<struSimuEntry> farmSimus;
    for (const SimuInfo& i : infos)
        farmSimus.append(struSimuEntry{i.adbPort(), i.idx(), i.name()});
    const QString pcA = QStringLiteral("agent-pc"), pcB = QStringLiteral("silent-pc");
    qint64 first = 0, retried = 0, refused = 0;
    {
        Console c(agent.port(), resultPort, lo);
        QTRY_VERIFY_WITH_TIMEOUT(c.ops->resultRcver()->ServerPort() == resultPort, 5000);
        struPcInfoReply a = pcReply(pcA, QStringLiteral("127.0.0.1"), farmSimus);
        a.from = QHostAddress(QHostAddress::LocalHost);
        c.wnd->slNewPcInfoArrived(a);
        c.wnd->slNewPcInfoArrived(
            pcReply(pcB, QStringLiteral("::1"), {{21503, "0", "静默0"}, {21513, "1", "静默1"}}));
        QTRY_VERIFY_WITH_TIMEOUT(c.listed({pcA, pcB}), 5000);
        QVERIFY(c.ledger->pane()->isVisible());

        c.pick(0, {{pcA, "0"}, {pcA, "1"}, {pcA, "2"}, {pcB, "0"}, {pcB, "1"}});
        QCOMPARE(c.model()->rowCount(), 1);
        first = c.newest();
        QTRY_COMPARE_WITH_TIMEOUT(states(c.model(), first),
                                  QStringLiteral("agent-pc/0:成功 agent-pc/1:失败 agent-pc/2:成功 "
                                                 "silent-pc/0:已发送 silent-pc/1:已发送"),
                                  30000);
        QCOMPARE(silentPc.commands, (QList<QStringList>{{"0:0", "0:1"}}));
        QTRY_COMPARE_WITH_TIMEOUT(states(c.model(), first),
                                  QStringLiteral("agent-pc/0:成功 agent-pc/1:失败 agent-pc/2:成功 "
                                                 "silent-pc/0:无应答 silent-pc/1:无应答"),
                                  20000);
        QTRY_COMPARE_WITH_TIMEOUT(c.model()->index(0, ResultsLedger::ColState).data().toString(),
                                  QStringLiteral("成功 2 / 失败 3 / 等待 0"), 2000);
        // The pane's filter: the failed targets only, then one PC's.
        LedgerFilterProxy* proxy = c.ledger->pane()->proxy();
        c.ledger->pane()->stateFilter()->setCurrentIndex(1);
        QCOMPARE(proxy->rowCount(proxy->index(0, 0)), 3);
        c.ledger->pane()->selectEntry(first);
        QTest::keyClicks(c.ledger->pane()->pcFilter(), QStringLiteral("silent"));
        QCOMPARE(proxy->rowCount(proxy->index(0, 0)), 2);
        // Enter in the filter presses no button: nothing is sent again, the window stays.
        QTest::keyClick(c.ledger->pane()->pcFilter(), Qt::Key_Return);
        QTest::keyClick(c.ledger->pane()->pcFilter(), Qt::Key_Escape);
        QCOMPARE(c.model()->rowCount(), 1);
        QVERIFY(c.wnd->isVisible());
        c.ledger->pane()->pcFilter()->clear();
        c.ledger->pane()->stateFilter()->setCurrentIndex(0);
        QCOMPARE(accepted.size(), 1);

        // Retry: the agent gets one command for the failed emulator alone, the silent PC both again.
        QVERIFY(farm.setKnob(QStringLiteral("bootFail"), QStringLiteral("false"), QStringLiteral("1")));
        c.clickRetry(first);
        QCOMPARE(c.model()->rowCount(), 2);
        retried = c.newest();
        QTRY_COMPARE_WITH_TIMEOUT(states(c.model(), retried),
                                  QStringLiteral("agent-pc/1:成功 silent-pc/0:无应答 silent-pc/1:无应答"),
                                  40000);
        QCOMPARE(accepted.size(), 2);
        QCOMPARE(accepted.at(1).at(1).toInt(), 1);
        QCOMPARE(silentPc.commands.size(), 2);
        QCOMPARE(silentPc.commands.at(1), (QStringList{"0:0", "0:1"}));
        // The operation filter: both starts, and no install.
        QComboBox* oper = c.ledger->pane()->operFilter();
        oper->setCurrentIndex(oper->findData(int(eOperInstall)));
        QCOMPARE(proxy->rowCount(), 0);
        oper->setCurrentIndex(oper->findData(int(eOperStartup)));
        QCOMPARE(proxy->rowCount(), 2);
        oper->setCurrentIndex(0);

        // The silent PC goes offline: a retry of it is refused by the checks, and says so.
        *c.clockSecs += 3600;
        c.wnd->slMainWndMsgHandler(QStringLiteral("setAllItemOffline"), pcB, QString(), 0, 0, QByteArray());
        c.clickRetry(retried);
        refused = c.newest();
        QCOMPARE(states(c.model(), refused), QStringLiteral("silent-pc/0:被拒绝 silent-pc/1:被拒绝"));
        QCOMPARE(c.model()->entry(refused)->targets.at(0).iCode, 61);
        QCOMPARE(c.dialogs->shown.size(), 1);
        QCOMPARE(c.dialogs->shown.at(0).iRet, 61);
        QTest::qWait(500);
        QCOMPARE(silentPc.commands.size(), 2);
        QCOMPARE(accepted.size(), 2);

        // The first operation exported from the pane's button through the save dialog.
        const QString csvPath = dir.filePath(QStringLiteral("第一次.csv"));
        c.ledger->pane()->selectEntry(first);
        QTimer::singleShot(200, [&] {
            auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            auto* name = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(csvPath);
            QTest::keyClick(name, Qt::Key_Return);
        });
        QTest::mouseClick(c.ledger->pane()->exportBtn(), Qt::LeftButton);
        QFile csv(csvPath);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QByteArray bytes = csv.readAll();
        // A line per target (an agent's text may hold line breaks, quoted).
        QCOMPARE(bytes.count(",agent-pc,"), 3);
        QCOMPARE(bytes.count(",silent-pc,"), 2);
        QVERIFY2(bytes.contains(",agent-pc,1,失败,"), bytes.constData());
        QVERIFY2(bytes.contains(",silent-pc,1,无应答,0,规定时间内未收到结果,"), bytes.constData());

        // The pane hidden from its button stays hidden for the next window.
        QTest::mouseClick(c.ledger->toggleBtn(), Qt::LeftButton);
        QVERIFY(!c.ledger->pane()->isVisible());
    }
    Console again(agent.port(), resultPort, lo);
    QVERIFY(!again.ledger->pane()->isVisible());
    QTest::mouseClick(again.ledger->toggleBtn(), Qt::LeftButton);
    QVERIFY(again.ledger->pane()->isVisible());
    QCOMPARE(again.model()->rowCount(), 3);
    QCOMPARE(states(again.model(), first), QStringLiteral("agent-pc/0:成功 agent-pc/1:失败 agent-pc/2:成功 "
                                                          "silent-pc/0:无应答 silent-pc/1:无应答"));
    QCOMPARE(states(again.model(), refused), QStringLiteral("silent-pc/0:被拒绝 silent-pc/1:被拒绝"));
    QVERIFY(AgentCommandServer::waitIdle(20000));
}

void TstLedgerWindow::oneBoxForThirtyFailures()
{
    constexpr int kPcs = 30;
    setResultBox(ResultBoxFn()); // the real message box
    QTemporaryDir dir;
    ResultsLedger::Options lo;
    lo.dbPath = dir.filePath(QStringLiteral("results.db"));
    lo.flushMs = 50;
    // Every PC at an address where nothing listens: each delivery fails at once.
    Console c(freePort(), freePort(), lo, std::make_shared<WidgetOpsDialogs>(nullptr));
    QList<QPair<QString, QString>> rows;
    for (int i = 0; i < kPcs; ++i) {
        const QString name = QStringLiteral("pc-%1").arg(i, 2, 10, QLatin1Char('0'));
        c.wnd->slNewPcInfoArrived(pcReply(name, QStringLiteral("127.0.0.1"), {{21503, "0", "模拟器"}}));
        rows.append({name, "0"});
    }
    QStringList names;
    for (const auto& r : rows)
        names << r.first;
    QTRY_VERIFY_WITH_TIMEOUT(c.listed(names), 5000);
    int boxesShown = 0;
    QString seenText;
    QStringList visibleBoxes;
    struct ShowCounter : QObject
    {
        int* pCount;
        explicit ShowCounter(int* p) : pCount(p) {}
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Show && qobject_cast<QMessageBox*>(o))
                ++*pCount;
            return false;
        }
    } counter(&boxesShown);
    qApp->installEventFilter(&counter);
    // Runs inside the box's own loop: once every failure is in the ledger, read the box and press it.
    QTimer look;
    connect(&look, &QTimer::timeout, [&] {
        const struLedgerEntry* e = c.model()->entry(c.newest());
        if (!e || e->failureCount() < kPcs || !seenText.isEmpty())
            return;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                visibleBoxes << box->windowTitle();
                seenText = box->text();
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == QStringLiteral("确认"))
                        QTest::mouseClick(b, Qt::LeftButton);
            }
    });
    look.start(50);
    c.pick(0, rows);
    QTRY_VERIFY_WITH_TIMEOUT(!seenText.isEmpty(), 30000);
    QTest::qWait(300);
    qApp->removeEventFilter(&counter);
    QCOMPARE(boxesShown, 1);
    QCOMPARE(visibleBoxes, QStringList{QStringLiteral("错误")});
    QVERIFY2(seenText.startsWith(QStringLiteral("无法连接客户端:\"pc-")), qPrintable(seenText));
    QVERIFY2(seenText.endsWith(ResultBoxGate::heldBackNote(kPcs - 1)), qPrintable(seenText));
    QVERIFY(!c.ledger->boxGate()->isOpen());
    QCOMPARE(c.model()->entry(c.newest())->count(eLedgerState::Failed), kPcs);
    QCOMPARE(c.model()->entry(c.newest())->targets.at(0).iCode, 14);
}

QTEST_MAIN(TstLedgerWindow)
#include "tst_ledgerwindow.moc"
