// The console's widgets and main window under the offscreen platform: state texts and tile rules,
// how PC information, state reports and offline messages reach the device list and the tiles, the
// operation menu's refusal without ticks, drawers, install progress and logout.
#include "agentregistry.h"
#include "centertoolmainwnd.h"
#include "devicefilter.h"
#include "farmtrust.h"
#include "mygrpdrawer.h"
#include "pconofflinechecker.h"
#include "qflowlayout.h"
#include "resultdisplay.h"
#include "thumbjpeg.h"
#include "thumbnailcache.h"
#include "udpsenderobj.h"
#include "vedioboxdrawer.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>

namespace {

struct Box
{
    QString title;
    QString text;
};

struPcInfoReply pcReply(const QString& pcName, const QString& nick, const QStringList& idxNames)
{
    struPcInfoReply r;
    r.header.setPcName(pcName);
    r.header.setNickName(nick);
    r.header.setIpAddr(QStringLiteral("10.1.2.3"));
    r.header.iRunLimit = 3;
    r.header.iDaemonModel = 0;
    r.header.iSimuType = 2;
    for (const QString& pair : idxNames)
        r.simus.append(struSimuEntry{0, pair.section('=', 0, 0), pair.section('=', 1)});
    r.from = QHostAddress(QStringLiteral("10.1.2.3"));
    return r;
}

// Text entered into a line edit as an input method commits it (Chinese included).
void typeText(QWidget* pEdit, const QString& text)
{
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(pEdit, &commit);
}

struSimuReport report(const QString& pc, const QString& idx, int state, int time, const QByteArray& jpeg = {})
{
    struSimuReport r;
    r.pcName = pc;
    r.memuIdx = idx;
    r.iState = state;
    r.iTime = time;
    r.jpeg = jpeg;
    return r;
}

} // namespace

class TstConsoleUi : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void rowTextsAndTileRules();
    void decodedPicturesStayBounded();
    void repliesReachListAndTiles();
    void offlineByTheCheckerAndBack();
    void filterNarrowsRowsAndTiles();
    void everyRoadEndsInTheRegistry();
    void operationsNeedTicks();
    void drawersInstallProgressAndLogout();
    void keysNeverQuitTheWindow();
    void longNamesKeepTheStateColumn();
    void aNewPcLeavesTheShownOnesAlone();
    void aLongRoundLetsTheEventLoopTurn();

private:
    std::unique_ptr<CenterToolMainWnd> makeWindow(AgentRegistry::Clock clock = {});

    QUdpSocket m_silentAgent; // queries go here and are never answered
    QList<Box> m_boxes;
    std::atomic<qint64> m_now{100000};
};

void TstConsoleUi::initTestCase()
{
    QVERIFY(m_silentAgent.bind(QHostAddress::LocalHost, 0));
    setResultBox([this](const QString& title, const QString& text, bool) {
        m_boxes.append({title, text});
        return true;
    });
}

void TstConsoleUi::cleanup()
{
    m_boxes.clear();
}

std::unique_ptr<CenterToolMainWnd> TstConsoleUi::makeWindow(AgentRegistry::Clock clock)
{
    CenterToolMainWnd::Options o;
    o.queryPort = m_silentAgent.localPort();
    o.targets = {QHostAddress(QHostAddress::LocalHost)};
    o.trayIcon = false;
    o.checkIntervalMs = 50;
    o.clock = clock ? clock : [this] { return m_now.load(); };
    auto wnd = std::make_unique<CenterToolMainWnd>(o);
    wnd->initWnd();
    return wnd;
}

void TstConsoleUi::rowTextsAndTileRules()
{
    struSimuRow row;
    row.memuIdx = "3";
    row.simuName = "雷电-3";
    MyDrawerCell cell(row);
    const QStringList expected{"未启动", "", "运行中", "启动中", "关闭中", "", "安装中", "删除中", "已删除"};
    for (int s = -1; s <= 7; ++s) {
        cell.setState(s, 0);
        QCOMPARE(cell.stateText(), expected.at(s + 1));
    }
    cell.setState(1, 1);
    QCOMPARE(cell.stateText(), QStringLiteral("守护中"));
    cell.setState(42, 1);
    QCOMPARE(cell.stateText(), QString());

    VedioBoxDrawer drawer("PC", "机房", "10.0.0.1");
    AVedioBox* box = drawer.addBox("3", "Alpha");
    drawer.addBox("4", "beta");
    QCOMPARE(box->size(), QSize(130, 200));
    QCOMPARE(box->state(), -1);
    QCOMPARE(box->stateTime(), -1);
    const QImage def(":/res/vediobox/vedioBoxDef.png");
    const QImage starting(":/res/vediobox/vedioBoxStarting.png");
    QVERIFY(!def.isNull() && !starting.isNull());
    QCOMPARE(QImage(":/res/tipDlg/public.jpg").size(), QSize(300, 300)); // the public-account dialog
    QCOMPARE(box->currentPicture(), def);
    QVERIFY(box->setState(1, 7));
    QVERIFY(!box->setState(3, 5)); // older report
    QVERIFY(!box->setState(3, 7));
    QCOMPARE(box->state(), 1);
    box->setJpeg(thumbJpeg(Qt::red));
    QCOMPARE(box->decodeCount(), 0); // not decoded before it is shown
    QCOMPARE(box->currentPicture().pixelColor(50, 75).red() > 200, true);
    QVERIFY(box->setState(3, 8)); // closing keeps the picture
    QCOMPARE(box->currentPicture().pixelColor(50, 75).red() > 200, true);
    QVERIFY(box->setState(2, -1)); // -1 always applies
    QCOMPARE(box->currentPicture(), starting);
    QVERIFY(box->setState(-1, 0));
    QCOMPARE(box->currentPicture(), def);

    // Tiles flow left to right and wrap when the next would pass the right edge.
    int height = 0;
    const QList<QSize> three{QSize(130, 200), QSize(130, 200), QSize(130, 200)};
    QCOMPARE(QFlowLayout::flow(QRect(0, 0, 276, 0), three, 8, &height),
             (QList<QRect>{{0, 0, 130, 200}, {138, 0, 130, 200}, {0, 208, 130, 200}}));
    QCOMPARE(height, 408);
    QCOMPARE(QFlowLayout::flow(QRect(10, 5, 100, 0), three, 8, &height).at(1).topLeft(), QPoint(10, 213));
    QCOMPARE(height, 616); // narrower than a tile: one per row
    QFlowLayout::flow(QRect(0, 0, 500, 0), {}, 8, &height);
    QCOMPARE(height, 0);

    QCOMPARE(drawer.boxList().FindBoxByName("ALPHA"), 0);
    QCOMPARE(drawer.boxList().FindBoxByName("Beta"), 1);
    QCOMPARE(drawer.boxList().FindBoxByName("gamma"), -1);
    drawer.boxList().SetCheckedAt(1, true);
    QVERIFY(drawer.box("4")->isChecked());
}

// Tiles keep their screenshots compressed; what a paint decoded is held by the cache within its
// bound, and a tile whose picture aged out decodes it again, the same picture.
void TstConsoleUi::decodedPicturesStayBounded()
{
    ThumbnailCache& cache = ThumbnailCache::instance();
    const int oldMax = cache.maxKb();
    VedioBoxDrawer drawer("PC", "机房", "10.0.0.1");
    QList<AVedioBox*> boxes;
    const QColor colours[] = {Qt::red, Qt::green, Qt::blue};
    for (int i = 0; i < 30; ++i) {
        AVedioBox* b = drawer.addBox(QString::number(i), QStringLiteral("模拟器%1").arg(i));
        b->setJpeg(thumbJpeg(colours[i % 3]));
        boxes.append(b);
    }
    const int pictureKb = int(boxes.first()->currentPicture().sizeInBytes() / 1024);
    cache.setMaxKb(pictureKb * 4); // room for four decoded pictures
    for (AVedioBox* b : boxes)
        QVERIFY(!b->currentPicture().isNull());
    QVERIFY2(cache.usedKb() <= cache.maxKb() && cache.count() <= 4,
             qPrintable(QString::number(cache.count())));
    const qint64 before = boxes.first()->decodeCount();
    QCOMPARE(boxes.first()->currentPicture().pixelColor(50, 75).red() > 200, true); // aged out: again
    QCOMPARE(boxes.first()->decodeCount(), before + 1);
    boxes.first()->currentPicture(); // now cached
    QCOMPARE(boxes.first()->decodeCount(), before + 1);
    QVERIFY(boxes.at(1)->hasScreenshot());

    // A new screenshot never shows the picture cached for the old one; broken bytes fall back to
    // the state's picture and are dropped.
    boxes.first()->setJpeg(thumbJpeg(Qt::blue));
    QVERIFY(boxes.first()->currentPicture().pixelColor(50, 75).blue() > 200);
    boxes.first()->setJpeg(QByteArray("\xff\xd8 not a picture"));
    QCOMPARE(boxes.first()->currentPicture(), QImage(":/res/vediobox/vedioBoxDef.png"));
    QVERIFY(!boxes.first()->hasScreenshot());
    cache.setMaxKb(oldMax);
}

void TstConsoleUi::repliesReachListAndTiles()
{
    auto wnd = makeWindow();
    MyGrpDrawer* left = wnd->leftGrpDrawer();
    VedioBoxGrpDrawer* right = wnd->rightGrpDrawer();
    QVERIFY(left->hasPlaceholder());
    QCOMPARE(right->text(), QStringLiteral("当前局域网内无可连接设备"));

    QStringList initialised;
    QObject::connect(wnd.get(), &CenterToolMainWnd::sigPcListed, [&](const QString& pcName) {
        // Its entry and tiles are in the window by then.
        QVERIFY(wnd->leftGrpDrawer()->findPc(pcName) && wnd->rightGrpDrawer()->findPc(pcName));
        initialised.append(pcName);
    });
    wnd->slNewPcInfoArrived(pcReply("PC-A", "机房A", {"0=雷电-0", "1=雷电-1", "2=雷电-2"}));
    wnd->slNewPcInfoArrived(pcReply("pc-a", "小写", {"0=x"}));
    QCOMPARE(initialised, (QStringList{"PC-A", "pc-a"}));
    QVERIFY(!left->hasPlaceholder());
    QVERIFY(right->text().isEmpty());
    MyDrawerEx* pc = left->findPc("PC-A");
    VedioBoxDrawer* tiles = right->findPc("PC-A");
    QVERIFY(pc && tiles);
    QCOMPARE(pc->cells().size(), 3);
    QCOMPARE(tiles->boxCount(), 3);
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    QCOMPARE(pc->titleCell()->name(), QStringLiteral("机房A"));
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("未启动"));
    // An agent announcing an unusable address is reached where its replies come from.
    struPcInfoReply odd = pcReply("PC-0", "零", {"0=z"});
    odd.header.setIpAddr("0.0.0.0");
    odd.from = QHostAddress("10.9.8.7");
    wnd->slNewPcInfoArrived(odd);
    QCOMPARE(left->findPc("PC-0")->connectAddress(), QStringLiteral("10.9.8.7"));
    QCOMPARE(right->findPc("PC-0")->box("0")->info().strIpAddr, QStringLiteral("10.9.8.7"));

    // States and thumbnails: the newer time wins; a picture shows on the tile.
    const QByteArray red = thumbJpeg(Qt::red);
    wnd->slSimuReportsArrived({report("PC-A", "0", 1, 10, red), report("PC-A", "1", 2, 10),
                               report("PC-A", "0", 3, 9), report("nobody", "0", 1, 10)});
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("运行中"));
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("启动中"));
    QCOMPARE(tiles->box("0")->state(), 1);
    QVERIFY(tiles->box("0")->currentPicture().pixelColor(50, 75).red() > 200);
    wnd->slNewSimuStateParamArrived(
        R"({"pcName":"PC-A","memuIdx":"0","iState":1,"iTime":11,"iDaemonModel":2})");
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("守护中"));
    wnd->slSetState("PC-A", "2", 5, 20);
    QCOMPARE(pc->cell("2")->stateText(), QStringLiteral("安装中"));
    QCOMPARE(tiles->box("2")->state(), 5);
    auto* blue = new QImage(10, 10, QImage::Format_RGB32);
    blue->fill(Qt::blue);
    wnd->slPcNameMemuIdxImageArrived("PC-A", "2", blue); // a result's picture, already decoded
    QCOMPARE(tiles->box("2")->currentPicture().pixelColor(5, 5), QColor(Qt::blue));
    wnd->slPcNameMemuIdxImageArrived("nobody", "2", new QImage(10, 10, QImage::Format_RGB32));

    // Inventory changes: 1 deleted, 2 renamed, nick name changed; then 1 comes back.
    wnd->slNewPcInfoArrived(pcReply("PC-A", "机房B", {"0=雷电-0", "2=改名"}));
    QCOMPARE(pc->cells().size(), 2);
    QCOMPARE(tiles->boxCount(), 2);
    QVERIFY(!pc->cell("1") && !tiles->box("1"));
    QCOMPARE(pc->cell("2")->simuName(), QStringLiteral("改名"));
    QCOMPARE(tiles->box("2")->name(), QStringLiteral("改名"));
    QCOMPARE(pc->titleCell()->name(), QStringLiteral("机房B"));
    QVERIFY(tiles->titleRow()->text().startsWith(QStringLiteral("机房B")));
    wnd->slNewPcInfoArrived(pcReply("PC-A", "机房B", {"0=雷电-0", "1=雷电-1", "2=改名"}));
    QCOMPARE(pc->cells().size(), 3);
    QVERIFY(tiles->box("1"));

    // A message about a PC heard from since is stale and changes nothing; so does an unknown key.
    wnd->slMainWndMsgHandler("setAllItemOffline", "PC-A", "", 0, 0, {});
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    m_now += 10;
    wnd->slMainWndMsgHandler("setAllItemOffline", "PC-a", "", 0, 0, {});
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    // Silent for 10 s: every row and tile of PC-A goes to -1.
    wnd->slMainWndMsgHandler("setAllItemOffline", "PC-A", "", 0, 0, {});
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("离线"));
    QCOMPARE(left->findPc("pc-a")->titleCell()->devState(), QStringLiteral("在线")); // not told yet
    for (MyDrawerCell* c : pc->cells())
        QCOMPARE(c->stateText(), QStringLiteral("未启动"));
    QCOMPARE(tiles->box("0")->state(), -1);
    QCOMPARE(tiles->box("0")->stateTime(), -1);
    QCOMPARE(tiles->box("0")->currentPicture(), QImage(":/res/vediobox/vedioBoxDef.png"));
    // The next reply brings it back online, the next reports its states.
    wnd->slNewPcInfoArrived(pcReply("PC-A", "机房B", {"0=雷电-0", "1=雷电-1", "2=改名"}));
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    wnd->slSimuReportsArrived({report("PC-A", "0", 1, 3)});
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("运行中"));
}

// Reports, results, the operations' states, pictures and offline messages, mixed and out of order:
// each round is one notice of the registry (the whole range once most rows changed), and afterwards
// every row and tile shows exactly what the registry holds, older reports included.
void TstConsoleUi::everyRoadEndsInTheRegistry()
{
    auto wnd = makeWindow();
    QStringList simus;
    for (int i = 0; i < 10; ++i)
        simus << QStringLiteral("%1=模拟器%1").arg(i);
    wnd->slNewPcInfoArrived(pcReply("PC-R", "R", simus));
    wnd->slNewPcInfoArrived(pcReply("PC-S", "S", simus));
    AgentRegistry* reg = wnd->registry().get();
    QSignalSpy some(reg, &AgentRegistry::sigSimusChanged);
    QSignalSpy all(reg, &AgentRegistry::sigAllSimusChanged);
    const QByteArray red = thumbJpeg(Qt::red);

    // One round of five reports, one of them older than the one before it on the same emulator.
    wnd->slSimuReportsArrived({report("PC-R", "0", 1, 10, red), report("PC-R", "1", 1, 10, red),
                               report("PC-R", "1", 3, 5), report("PC-S", "2", 5, 10, red),
                               report("PC-S", "3", 2, 10)});
    QCOMPARE(some.size(), 1);
    QCOMPARE(some.first().first().value<SimuChangeList>().size(), 4);
    QCOMPARE(all.size(), 0);
    // Reports that change nothing announce nothing.
    wnd->slSimuReportsArrived({report("PC-R", "0", 1, 10), report("PC-R", "1", 3, 6)});
    QCOMPARE(some.size(), 1);
    // A start's busy state and then a failed delivery, as the operations send them; a result; a
    // result's picture; a start that drops the picture.
    wnd->slSimuStatesArrived("PC-S", {"4", "5", "6"}, 2, 20);
    wnd->slSimuStatesArrived("PC-S", {"4", "5", "6"}, -1, -1);
    wnd->slSetState("PC-S", "5", 1, 30);
    wnd->slPcNameMemuIdxImageArrived("PC-S", "5", new QImage(8, 8, QImage::Format_RGB32));
    wnd->slSetState("PC-R", "0", 2, 31);
    QCOMPARE(some.size(), 6);
    // Offline: one notice for every row of the PC, most of the list: the whole range.
    m_now += 20;
    wnd->slNewPcInfoArrived(pcReply("PC-S", "S", simus));
    wnd->slSimuReportsArrived({report("PC-S", "7", 1, 40, red), report("PC-R", "9", 6, 40)});
    wnd->slMainWndMsgHandler("setAllItemOffline", "PC-R", "", 0, 0, {});
    QCOMPARE(all.size(), 0); // 10 of 20 rows: not most
    wnd->slSimuStatesArrived("PC-S", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 3, 50);
    QCOMPARE(all.size(), 0);
    {
        AgentRegistry::Batch round(*reg);
        wnd->slSimuStatesArrived("PC-S", {"0", "1", "2", "3", "4", "5"}, 1, 60);
        wnd->slSimuReportsArrived({report("PC-R", "0", 1, 60, red), report("PC-R", "1", 1, 60, red),
                                   report("PC-R", "2", 1, 60), report("PC-R", "3", 1, 60),
                                   report("PC-R", "4", 1, 60)});
    }
    QCOMPARE(all.size(), 1);

    // The list and the tiles show the registry's rows, field by field.
    int withPicture = 0;
    for (const struPcEntry& pc : reg->snapshot()) {
        MyDrawerEx* entry = wnd->leftGrpDrawer()->findPc(pc.pcName);
        VedioBoxDrawer* tiles = wnd->rightGrpDrawer()->findPc(pc.pcName);
        for (const struSimuRow& r : pc.rows) {
            const QString where = pc.pcName + ' ' + r.memuIdx;
            QVERIFY2(entry->cell(r.memuIdx)->state() == r.iState, qPrintable(where));
            AVedioBox* box = tiles->box(r.memuIdx);
            QVERIFY2(box->state() == r.iState && box->stateTime() == r.iTime, qPrintable(where));
            QVERIFY2(box->hasScreenshot() == !r.shot.isEmpty(), qPrintable(where));
            withPicture += r.shot.isEmpty() ? 0 : 1;
        }
    }
    QCOMPARE(withPicture, 5); // PC-S 2, 5 and 7; PC-R 0 and 1 after they went offline
    struSimuRow r0;
    QVERIFY(reg->row("PC-R", "0", r0));
    QCOMPARE(r0.iTime, 60);
    QVERIFY(wnd->rightGrpDrawer()->findPc("PC-R")->box("0")->currentPicture().pixelColor(50, 75).red() > 200);
}

// The checker thread, on the window's injected clock: silent for 10 s means offline.
// Offline by the checker: the rows greyed, the tiles under the offline picture (over the screenshot
// they had), the PC row's tip saying when it was last heard; all back to normal with its next reply.
void TstConsoleUi::offlineByTheCheckerAndBack()
{
    auto wnd = makeWindow();
    wnd->slNewPcInfoArrived(pcReply("PC-B", "B", {"0=a", "1=b"}));
    const qint64 heardAt = m_now.load();
    MyDrawerEx* pc = wnd->leftGrpDrawer()->findPc("PC-B");
    AVedioBox* tile = wnd->rightGrpDrawer()->findPc("PC-B")->box("1");
    wnd->slSimuReportsArrived({report("PC-B", "1", 1, 40, thumbJpeg(QColor(Qt::green)))});
    QVERIFY(tile->hasScreenshot());
    const auto redInTile = [tile] {
        const QImage shot = tile->grab().toImage();
        int red = 0;
        for (int y = 0; y < AVedioBox::kPictureHeight; y += 2) {
            for (int x = 0; x < AVedioBox::kWidth; x += 2) {
                const QColor c = shot.pixelColor(x, y);
                red += c.red() > 150 && c.green() < 120 && c.blue() < 120 ? 1 : 0;
            }
        }
        return red;
    };
    QCOMPARE(redInTile(), 0);
    m_now += 9;
    QTest::qWait(200);
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    m_now += 1;
    QTRY_COMPARE_WITH_TIMEOUT(pc->titleCell()->devState(), QStringLiteral("离线"), 5000);
    QVERIFY(pc->isShownOffline() && pc->cell("0")->isGreyed() && pc->cell("1")->isGreyed());
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("未启动")); // state -1 stays the rule
    QVERIFY(tile->isOffline() && tile->state() == -1);
    QVERIFY2(redInTile() > 50, "the offline picture (a red cross) is not on the tile");
    const QString lastHeard =
        QDateTime::fromSecsSinceEpoch(heardAt).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QVERIFY2(pc->titleCell()->rowToolTip().contains(QStringLiteral("离线，最后一次收到回复：") + lastHeard),
             qPrintable(pc->titleCell()->rowToolTip()));
    QCOMPARE(pc->titleCell()->findChildren<QLabel*>().at(1)->toolTip(), pc->titleCell()->rowToolTip());
    QVERIFY(wnd->rightGrpDrawer()->findPc("PC-B")->titleRow()->text().endsWith(QStringLiteral("（离线）")));
    // A row added while offline is greyed as well.
    wnd->slNewPcInfoArrived(pcReply("PC-B", "B", {"0=a", "1=b"}));
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
    QVERIFY(!pc->isShownOffline() && !pc->cell("1")->isGreyed() && !tile->isOffline());
    QCOMPARE(redInTile(), 0);
    QVERIFY(!pc->titleCell()->rowToolTip().contains(QStringLiteral("离线")));
    QVERIFY(!wnd->rightGrpDrawer()->findPc("PC-B")->titleRow()->text().contains(QStringLiteral("离线")));
    QTest::qWait(200);
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));

    // The list's own slots: the PC at an address marked offline (a state number means nothing
    // until its next reply), a row's PC asked into the group it is in, then into another one.
    wnd->slSetState("PC-B", "0", 1, 50);
    MyGrpDrawer* list = wnd->leftGrpDrawer();
    list->slDevNetStateChanged(QStringLiteral("10.9.9.9"), 0);
    list->slDevNetStateChanged(wnd->registry()->connectAddress("PC-B"), 1);
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("运行中"));
    list->slDevNetStateChanged(wnd->registry()->connectAddress("PC-B"), 0);
    QCOMPARE(pc->titleCell()->devState(), QStringLiteral("离线"));
    QCOMPARE(pc->cell("0")->stateText(), QStringLiteral("未启动"));
    QVERIFY(wnd->registry()->snapshot().first().isOffline());
    QSignalSpy moves(list, &MyGrpDrawer::sigMoveDev2NewGrp);
    list->slCellMoveToNewGrp(pc->cell("0"), list->defaultGroup());
    QCOMPARE(m_boxes.last().text, QStringLiteral("目标组与源组相同"));
    list->slCellMoveToNewGrp(pc->cell("0"), list->addGroup(QStringLiteral("g2"), QStringLiteral("二楼")));
    QCOMPARE(moves.size(), 1);
    QCOMPARE(moves.first().at(3).value<QVector<QString>>(), QVector<QString>{"PC-B"});
}

// The filter box: words typed narrow the rows and the tiles (name, state, PC), hidden tiles leave
// no gap, a PC with nothing shown is hidden with its tiles, a hidden row loses its tick, ticks by
// state and by the PC's box take only what is shown, and a state change is followed.
void TstConsoleUi::filterNarrowsRowsAndTiles()
{
    auto wnd = makeWindow();
    wnd->resize(1200, 800);
    wnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(wnd.get()));
    wnd->slNewPcInfoArrived(pcReply("PC-A", "机房A", {"0=Alpha-0", "1=Beta-1", "2=Alpha-2", "3=Gamma-3"}));
    wnd->slNewPcInfoArrived(pcReply("PC-B", "机房B", {"0=Alpha-9"}));
    wnd->slSetState("PC-A", "2", 1, 10);
    MyDrawerEx* a = wnd->leftGrpDrawer()->findPc("PC-A");
    MyDrawerEx* b = wnd->leftGrpDrawer()->findPc("PC-B");
    VedioBoxDrawer* tilesA = wnd->rightGrpDrawer()->findPc("PC-A");
    VedioBoxDrawer* tilesB = wnd->rightGrpDrawer()->findPc("PC-B");
    const auto shown = [&](MyDrawerEx* pc, VedioBoxDrawer* tiles) {
        QStringList out;
        for (MyDrawerCell* c : pc->cells()) {
            const bool tileShown = tiles->box(c->memuIdx())->isVisibleTo(tiles);
            if (!c->isHidden() != tileShown)
                return QStringList{QStringLiteral("row and tile differ: ") + c->memuIdx()};
            if (tileShown)
                out << c->memuIdx();
        }
        return out;
    };
    QTest::mouseClick(a->cell("1")->checkBox(), Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(wnd->rightGrpDrawer()->findPc("PC-A")->box("1")->isChecked());
    QLineEdit* edit = wnd->filterEdit();
    QCOMPARE(edit->placeholderText(), CenterToolMainDlgUI::filterPlaceholder());
    QTest::keyClicks(edit, QStringLiteral("alpha"));
    QCOMPARE(shown(a, tilesA), (QStringList{"0", "2"}));
    QCOMPARE(shown(b, tilesB), QStringList{"0"});
    QVERIFY(!a->cell("1")->isChecked() && !wnd->registry()->hasChecked()); // hidden: no tick
    QVERIFY(!tilesA->box("1")->isChecked());
    // The next tile shown takes the hidden one's place.
    QTRY_COMPARE_WITH_TIMEOUT(tilesA->box("2")->pos(),
                              tilesA->box("0")->pos() + QPoint(AVedioBox::kWidth + 8, 0), 2000);

    // Every word must match: a PC's nick name and a state text.
    edit->clear();
    typeText(edit, QStringLiteral("机房A  运行中"));
    QCOMPARE(shown(a, tilesA), QStringList{"2"});
    QVERIFY(b->isHidden() && tilesB->isHidden());
    // The PC's box and its "not started" ticks take the rows shown only.
    edit->clear();
    typeText(edit, QStringLiteral("未启动 a"));
    QCOMPARE(shown(a, tilesA), (QStringList{"0", "1", "3"}));
    a->checkByState(-1);
    QCOMPARE(wnd->registry()->checkedPcs().first().checkedIndices(), (QStringList{"0", "1", "3"}));
    wnd->leftGrpDrawer()->clearAllChecks();
    edit->clear();
    QTest::keyClicks(edit, QStringLiteral("gamma"));
    a->titleCell()->checkBox()->click();
    QCOMPARE(wnd->registry()->checkedPcs().first().checkedIndices(), QStringList{"3"});
    QVERIFY(b->isHidden());
    QCOMPARE(wnd->rightGrpDrawer()->text(), QString());
    // Nothing matches: the tile area says so. A state report is followed: "3" starts, shown by
    // "启动中" once the filter looked again.
    edit->clear();
    typeText(edit, QStringLiteral("启动中"));
    QCOMPARE(wnd->deviceFilter()->shownRows(), 0);
    QCOMPARE(wnd->rightGrpDrawer()->text(), QStringLiteral("没有符合筛选条件的模拟器"));
    wnd->slSetState("PC-A", "3", 2, 20);
    QTRY_COMPARE_WITH_TIMEOUT(shown(a, tilesA), QStringList{"3"}, 2000);
    QVERIFY(b->isHidden());
    // Esc keeps the window; the cleared box shows everything again.
    QTest::keyClick(edit, Qt::Key_Escape);
    QVERIFY(wnd->isVisible());
    edit->clear();
    QCOMPARE(shown(a, tilesA), (QStringList{"0", "1", "2", "3"}));
    QVERIFY(!b->isHidden() && !tilesB->isHidden());
}

void TstConsoleUi::operationsNeedTicks()
{
    auto wnd = makeWindow();
    wnd->slNewPcInfoArrived(pcReply("PC-C", "C", {"0=a", "1=b", "2=c"}));
    MyDrawerEx* pc = wnd->leftGrpDrawer()->findPc("PC-C");
    VedioBoxDrawer* tiles = wnd->rightGrpDrawer()->findPc("PC-C");

    // Nothing ticked, no operations installed: code 44's text in the error box. (With operations,
    // they refuse it themselves.)
    emit pc->cell("1")->sigDrawerCellMenuTriggered(0);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().title, QStringLiteral("错误"));
    QCOMPARE(m_boxes.first().text, QStringLiteral("当前未选择设备或模拟器，无法操作"));
    QList<int> dispatched;
    QList<QStringList> tickedAtDispatch;
    QObject::connect(wnd.get(), &CenterToolMainWnd::sigOperationChosen, [&](int index) {
        dispatched.append(index);
        for (const struPcEntry& pc : wnd->registry()->checkedPcs())
            tickedAtDispatch.append(pc.checkedIndices());
    });

    // A tick on a row ticks its tile; a click on a tile ticks its row.
    pc->cell("0")->checkBox()->setChecked(true);
    QVERIFY(tiles->box("0")->isChecked());
    QTest::mouseClick(tiles->box("2"), Qt::LeftButton, {}, QPoint(60, 60));
    QVERIFY(pc->cell("2")->isChecked());
    emit pc->cell("1")->sigDrawerCellMenuTriggered(3);
    QCOMPARE(dispatched, QList<int>{3});
    QCOMPARE(tickedAtDispatch, (QList<QStringList>{{"0", "2"}}));
    // Every tick is cleared afterwards.
    QVERIFY(!wnd->registry()->hasChecked());
    QVERIFY(!pc->cell("0")->isChecked() && !pc->cell("2")->isChecked());
    QVERIFY(!tiles->box("0")->isChecked() && !tiles->box("2")->isChecked());
    // The title's box ticks the whole PC.
    pc->titleCell()->checkBox()->setChecked(true);
    QCOMPARE(wnd->registry()->checkedPcs().first().checkedIndices().size(), 3);

    // The menu itself offers the six entries in order.
    QCOMPARE(MenuOfDrawerCell::entryTexts(),
             (QStringList{"启动", "关闭", "安装apk", "删除", "重命名", "群控"}));
    MenuOfDrawerCell menu;
    QSignalSpy spy(&menu, &MenuOfDrawerCell::sigDrawerCellMenuTriggered);
    menu.actions().at(4)->trigger();
    QCOMPARE(spy.first().first().toInt(), 4);
    // The argument field is shared with the operations through the registry and a signal.
    QSignalSpy arg(pc, &MyDrawerEx::sigOperArgumentChanged);
    pc->setArgument("/tmp/a.apk");
    QCOMPARE(wnd->registry()->argument("PC-C"), QStringLiteral("/tmp/a.apk"));
    QCOMPARE(arg.size(), 1);

    // What a PC's command client sends back: state messages with and without a time, pictures.
    const QByteArray closing = R"({"pcName":"PC-C","memuIdx":"1","iState":3,"iTime":50,"iDaemonModel":0})";
    pc->slChangeStateWithParam(closing);
    tiles->slChangeStateWithParam(closing);
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("关闭中"));
    QCOMPARE(tiles->box("1")->state(), 3);
    const QByteArray older = R"({"pcName":"PC-C","memuIdx":"1","iState":1,"iTime":49,"iDaemonModel":0})";
    pc->slChangeStateWithParam(older);
    tiles->slChangeStateWithParam(older);
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("关闭中"));
    QCOMPARE(tiles->box("1")->state(), 3);
    pc->slChangeStateByIndex("1", 2);
    tiles->slChangeStateByIndex("1", 2);
    QCOMPARE(pc->cell("1")->stateText(), QStringLiteral("启动中"));
    QCOMPARE(tiles->box("1")->state(), 2);
    auto* green = new QImage(8, 8, QImage::Format_RGB32);
    green->fill(Qt::green);
    tiles->slNewSimuImgArrived("1", green);
    QCOMPARE(tiles->box("1")->currentPicture().pixelColor(1, 1), QColor(Qt::green));
}

void TstConsoleUi::drawersInstallProgressAndLogout()
{
    auto wnd = makeWindow();
    wnd->show();
    wnd->slNewPcInfoArrived(pcReply("PC-D", "D", {"0=a", "1=b"}));
    MyDrawerEx* pc = wnd->leftGrpDrawer()->findPc("PC-D");
    VedioBoxDrawer* tiles = wnd->rightGrpDrawer()->findPc("PC-D");
    QApplication::processEvents();
    const int openHeight = pc->height();
    QSignalSpy sized(pc, &AbsDrawer::sigSizeChanged);
    pc->slTitleClicked();
    QVERIFY(!pc->isOpened());
    QVERIFY(pc->body()->isHidden());
    QCOMPARE(pc->height(), pc->titleCell()->sizeHint().height());
    pc->slTitleClicked();
    QVERIFY(pc->isOpened() && !pc->body()->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(pc->height(), openHeight, 2000);
    QCOMPARE(sized.size(), 2);

    // The empty-area text's box is centred.
    VedioBoxGrpDrawer empty;
    empty.resize(401, 301);
    QCOMPARE(empty.textRect(), QRect(101, 131, 200, 40));

    wnd->slSetInstallState("PC-D", "1", 0, 0);
    QVERIFY(tiles->box("1")->isProgressVisible());
    wnd->slSetInstallState("PC-D", "1", 1, 40);
    QCOMPARE(tiles->box("1")->progress(), 40);
    wnd->slSetInstallState("PC-D", "1", 2, 0);
    QVERIFY(!tiles->box("1")->isProgressVisible());

    // Double click on a tile asks for the remote desktop of that emulator.
    QSignalSpy rmt(wnd.get(), &CenterToolMainWnd::sigRemoteDesktopRequested);
    QTest::mouseDClick(tiles->box("0"), Qt::LeftButton, {}, QPoint(50, 50));
    QCOMPARE(rmt.size(), 1);
    const auto info = rmt.first().first().value<struVedioBoxInfo>();
    QCOMPARE(info.strMemuIdx, QStringLiteral("0"));
    QCOMPARE(info.strIpAddr, QStringLiteral("10.1.2.3"));

    // Logout: flag set, workers ended; a second window starts workers of its own.
    QPointer<UdpSenderObj> sender = wnd->udpSenderObj();
    QVERIFY(sender);
    wnd->slCloseFromExitBtn();
    QCOMPARE(wnd->exitByLogout(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(sender.isNull(), 5000);
    auto again = makeWindow();
    QVERIFY(again->udpSenderObj() && again->udpSenderObj() != sender.data());
    QCOMPARE(again->exitByLogout(), 0);
}

// Keys on the real window: Esc does not end the console, Enter clicks no button (a link, the logout),
// a button takes the space bar. The version is shown.
void TstConsoleUi::keysNeverQuitTheWindow()
{
    auto wnd = makeWindow();
    wnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(wnd.get()));
    QSignalSpy finished(wnd.get(), &QDialog::finished);
    QTest::keyClick(wnd.get(), Qt::Key_Escape);
    for (QPushButton* b : {wnd->officialBtn(), wnd->exitBtn(), wnd->refreshBtn()}) {
        QSignalSpy clicked(b, &QPushButton::clicked);
        b->setFocus();
        QTest::keyClick(b, Qt::Key_Return);
        QTest::keyClick(b, Qt::Key_Enter);
        QTest::keyClick(wnd.get(), Qt::Key_Return);
        QTest::keyClick(b, Qt::Key_Escape);
        QVERIFY2(clicked.isEmpty(), qPrintable(b->text()));
    }
    QSignalSpy refreshed(wnd->refreshBtn(), &QPushButton::clicked);
    wnd->refreshBtn()->setFocus();
    QTest::keyClick(wnd->refreshBtn(), Qt::Key_Space);
    QCOMPARE(refreshed.size(), 1);
    QApplication::processEvents();
    QVERIFY(wnd->isVisible());
    QVERIFY(finished.isEmpty());
    QCOMPARE(wnd->exitByLogout(), 0);
    QVERIFY(QRegularExpression(QStringLiteral("^Tovia-模拟器版v\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                .match(wnd->versionLabel()->text())
                .hasMatch());
    QVERIFY(wnd->versionLabel()->isVisible());
    // Signed agents only: no notice. A console that accepts unsigned agents says so in its window.
    QVERIFY(!wnd->trustNotice()->isVisible());
    FarmTrust::setAcceptUnsigned(true);
    const auto restore = qScopeGuard([] { FarmTrust::setAcceptUnsigned(false); });
    auto open = makeWindow();
    open->show();
    QVERIFY(QTest::qWaitForWindowExposed(open.get()));
    QVERIFY(open->trustNotice()->isVisible());
    QVERIFY(open->trustNotice()->text().contains(QStringLiteral("security/acceptUnsigned=1")));
}

// A 58-character emulator name and a long nick name: every state text and the PC's "在线" stay in
// sight, also after the splitter moved; the names are cut, their tips whole. Ticking a group ticks
// every row, also one unticked by hand since.
void TstConsoleUi::longNamesKeepTheStateColumn()
{
    const QString longName = QStringLiteral("模拟器") + QString(55, QLatin1Char('W'));
    QCOMPARE(longName.size(), 58);
    auto wnd = makeWindow();
    wnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(wnd.get()));
    wnd->slNewPcInfoArrived(pcReply("PC-L", QStringLiteral("机房") + QString(60, QLatin1Char('N')),
                                    {"0=" + longName, "1=short"}));
    wnd->slSetState("PC-L", "0", 1, 5);
    MyDrawerEx* pc = wnd->leftGrpDrawer()->findPc("PC-L");
    QWidget* viewport = wnd->leftScrollArea()->viewport();
    const auto inSight = [viewport](QWidget* w) {
        const QRect r(w->mapTo(viewport, QPoint()), w->size());
        return w->isVisible() && w->width() > 0 && viewport->rect().contains(r);
    };
    auto* splitter = qobject_cast<QSplitter*>(wnd->leftScrollArea()->parentWidget()->parentWidget());
    QVERIFY(splitter);
    for (const int left : {280, 420}) {
        splitter->setSizes({left, 1180 - left});
        QApplication::processEvents();
        QTRY_VERIFY2(inSight(pc->titleCell()->devStateLabel()), qPrintable(QString::number(left)));
        QCOMPARE(pc->titleCell()->devState(), QStringLiteral("在线"));
        for (MyDrawerCell* c : pc->cells())
            QVERIFY2(inSight(c->stateLabel()), qPrintable(c->simuName()));
    }
    MyDrawerCell* cell = pc->cell("0");
    QCOMPARE(cell->stateText(), QStringLiteral("运行中"));
    QCOMPARE(cell->checkBox()->toolTip(), longName);
    QVERIFY(cell->checkBox()->text().size() < longName.size());
    QVERIFY(pc->titleCell()->name().endsWith(QString(60, QLatin1Char('N'))));

    // The PC's box ticks its rows, one is unticked by hand (the PC's box stays ticked), then the
    // group's box ticks them all again; unticked and ticked once more, the same.
    QCheckBox* group = wnd->leftGrpDrawer()->defaultGroup()->titleCell()->checkBox();
    QCheckBox* pcBox = pc->titleCell()->checkBox();
    QTest::mouseClick(pcBox, Qt::LeftButton, {}, QPoint(5, pcBox->height() / 2));
    QVERIFY(cell->isChecked() && pc->cell("1")->isChecked());
    for (int round = 0; round < 2; ++round) {
        QTest::mouseClick(cell->checkBox(), Qt::LeftButton, {}, QPoint(5, cell->checkBox()->height() / 2));
        QVERIFY(!cell->isChecked());
        if (group->isChecked())
            QTest::mouseClick(group, Qt::LeftButton, {}, QPoint(5, group->height() / 2));
        QTest::mouseClick(group, Qt::LeftButton, {}, QPoint(5, group->height() / 2));
        QVERIFY(group->isChecked());
        QVERIFY2(cell->isChecked(), qPrintable(QString::number(round)));
    }
    QCOMPARE(wnd->registry()->checkedPcs().first().checkedIndices(), (QStringList{"0", "1"}));
}

QTEST_MAIN(TstConsoleUi)
namespace {

// Counts the moves and resizes of the widgets it watches.
class GeometryWatch : public QObject
{
public:
    void watch(QWidget* pWidget) { pWidget->installEventFilter(this); }
    int m_iChanges = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        m_iChanges += event->type() == QEvent::Move || event->type() == QEvent::Resize ? 1 : 0;
        return false;
    }
};

QStringList idxNames(int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out.append(QStringLiteral("%1=e%1").arg(i));
    return out;
}

} // namespace

// A PC heard after others is stacked below them: the drawers, rows and tiles already shown are neither
// moved nor resized (each PC first heard used to squeeze and regrow all of them). Each drawer takes the
// height its content needs at the width it is given, tiles wrapping into rows; a hidden one takes none.
void TstConsoleUi::aNewPcLeavesTheShownOnesAlone()
{
    auto wnd = makeWindow();
    wnd->resize(1100, 700);
    // The scroll bars are there from the start: their coming narrows everything once, rightly.
    wnd->leftScrollArea()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    wnd->rightScrollArea()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    wnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(wnd.get()));
    wnd->slNewPcInfoArrived(pcReply("PC-A", "A", idxNames(20)));
    wnd->slNewPcInfoArrived(pcReply("PC-B", "B", idxNames(20)));
    QTRY_VERIFY_WITH_TIMEOUT(wnd->rightGrpDrawer()->findPc("PC-B"), 2000);
    QApplication::processEvents();
    MyDrawerEx* rowsA = wnd->leftGrpDrawer()->findPc("PC-A");
    VedioBoxDrawer* tilesA = wnd->rightGrpDrawer()->findPc("PC-A");
    VedioBoxDrawer* tilesB = wnd->rightGrpDrawer()->findPc("PC-B");
    const QList<QWidget*> watched{
        rowsA, tilesA, rowsA->cell("0"), rowsA->cell("19"), tilesA->box("0"), tilesA->box("19"), tilesB};
    // Shown, and told their first geometry (Qt sends it a moment after a widget is shown).
    const auto settled = [&watched] {
        for (QWidget* w : watched) {
            if (!w->isVisible() || w->testAttribute(Qt::WA_PendingMoveEvent) ||
                w->testAttribute(Qt::WA_PendingResizeEvent))
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 2000);
    const int width = tilesA->width();
    QVERIFY2(tilesA->height() == tilesA->heightForWidth(width) && tilesA->height() < 20 * AVedioBox::kHeight,
             qPrintable(QStringLiteral("%1 px high at %2 px wide").arg(tilesA->height()).arg(width)));
    QVERIFY(tilesA->box("19")->y() > tilesA->box("0")->y());
    QCOMPARE(tilesA->box("1")->y(), tilesA->box("0")->y());
    const QRect rowGeometry = rowsA->cell("19")->geometry();
    const QRect tileGeometry = tilesA->box("19")->geometry();
    GeometryWatch watch;
    for (QWidget* w : watched)
        watch.watch(w);

    wnd->slNewPcInfoArrived(pcReply("PC-C", "C", idxNames(20)));
    QTRY_VERIFY_WITH_TIMEOUT(wnd->rightGrpDrawer()->findPc("PC-C"), 2000);
    VedioBoxDrawer* tilesC = wnd->rightGrpDrawer()->findPc("PC-C");
    QTRY_COMPARE_WITH_TIMEOUT(tilesC->y(), tilesB->geometry().bottom() + 1 + 2, 2000);
    QApplication::processEvents();
    QCOMPARE(watch.m_iChanges, 0);
    QCOMPARE(rowsA->cell("19")->geometry(), rowGeometry);
    QCOMPARE(tilesA->box("19")->geometry(), tileGeometry);
    QVERIFY(wnd->rightGrpDrawer()->height() >= tilesC->geometry().bottom() + 1);

    tilesB->hide();
    QTRY_COMPARE_WITH_TIMEOUT(tilesC->y(), tilesA->geometry().bottom() + 1 + 2, 2000);
}

// Thousands of state reports are applied a slice per turn of the event loop, in their order: a timer
// due meanwhile fires between slices, and a small batch behind them waits its turn, so an older
// report arriving later still loses to the newer one before it. The same for an operation's busy states.
void TstConsoleUi::aLongRoundLetsTheEventLoopTurn()
{
    auto wnd = makeWindow();
    wnd->slNewPcInfoArrived(pcReply("PC-R", "R", {"0=a", "1=b"}));
    SimuReportList round;
    for (int t = 1; t <= 5000; ++t)
        round.append(report("PC-R", QString::number(t % 2), t % 3 == 0 ? 3 : 1, 1000 + t));
    QSignalSpy notices(wnd->registry().get(), &AgentRegistry::sigAllSimusChanged);
    int timeSeenByTimer = -2;
    QTimer::singleShot(0, wnd.get(), [&] {
        struSimuRow row;
        wnd->registry()->row("PC-R", "0", row);
        timeSeenByTimer = row.iTime;
    });
    wnd->slSimuReportsArrived(round);
    wnd->slSimuReportsArrived({report("PC-R", "0", 6, 5500), report("PC-R", "1", 6, 7000)});
    struSimuRow row;
    QTRY_VERIFY_WITH_TIMEOUT(wnd->registry()->row("PC-R", "1", row) && row.iTime == 7000, 5000);
    QVERIFY(wnd->registry()->row("PC-R", "0", row));
    QCOMPARE(row.iTime, 6000); // 5500 came after 6000
    QCOMPARE(row.iState, 1);
    QVERIFY2(timeSeenByTimer > -2 && timeSeenByTimer < 6000, qPrintable(QString::number(timeSeenByTimer)));
    QVERIFY2(notices.size() >= 3, qPrintable(QString::number(notices.size())));
    QCOMPARE(wnd->reportsApplied(), qint64(5002));

    // An operation to many PCs: hundreds of small batches of busy states, queued one behind the other,
    // also leave the event loop its turns (a timer started before them fires before the last one).
    QStringList idxs;
    for (int i = 0; i < 100; ++i)
        idxs.append(QString::number(i));
    wnd->slNewPcInfoArrived(pcReply("PC-OP", "OP", idxs));
    QTRY_VERIFY_WITH_TIMEOUT(wnd->registry()->row("PC-OP", "99", row), 5000);
    QTimer probe;
    probe.setSingleShot(true);
    int busyTimeSeen = -2;
    connect(&probe, &QTimer::timeout, [&] {
        struSimuRow r;
        wnd->registry()->row("PC-OP", "99", r);
        busyTimeSeen = r.iTime;
    });
    probe.start(0);
    for (int i = 0; i < 60; ++i) {
        QMetaObject::invokeMethod(
            wnd.get(), [&wnd, idxs, i] { wnd->slSimuStatesArrived("PC-OP", idxs, 2, 9000 + i); },
            Qt::QueuedConnection);
    }
    QTRY_VERIFY_WITH_TIMEOUT(wnd->registry()->row("PC-OP", "99", row) && row.iTime == 9059, 5000);
    QCOMPARE(row.iState, 2);
    QVERIFY2(busyTimeSeen > -2 && busyTimeSeen < 9059, qPrintable(QString::number(busyTimeSeen)));
}

#include "tst_consoleui.moc"
