// The checks of the group operations and the menu dispatch over a snapshot of the device list: every
// refusal with its code and text and that nothing was sent, the PC-by-PC walk, the dialogs' questions
// and their answers.
#include "answeringdialogs.h"
#include "grpdraweroper.h"
#include "opercodes.h"
#include "simurecords.h"

#include <QtTest>

namespace {

OpsSimuRow row(const QString& idx, int state, bool checked)
{
    return OpsSimuRow{idx, QStringLiteral("模拟器") + idx, state, checked};
}

OpsPcEntry pc(const QString& name, QList<OpsSimuRow> rows, int runLimit = 10, bool online = true,
              int type = 2)
{
    OpsPcEntry p;
    p.pcKey = name + QStringLiteral("-key");
    p.pcName = name;
    p.bOnline = online;
    p.iRunLimit = runLimit;
    p.iSimuType = type;
    p.rows = rows;
    return p;
}

struct Sent
{
    QList<OpsPcSend> sends;
    OpsSendFn fn()
    {
        return [this](const OpsPcSend& s) { sends << s; };
    }
};

} // namespace

class TstGroupOperChecks : public QObject
{
    Q_OBJECT
private slots:
    void stateTable_data();
    void stateTable();
    void walkSendsPcByPcUntilTheFirstRefusal();
    void menuDispatchAsksAndSends();
    void renameProcedure();
    void createAsksWithinTheRoomLeft();
};

void TstGroupOperChecks::stateTable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("texts"); // start, close, install, delete; "" = allowed
    const QString busy3 = QStringLiteral("\"PC1\"的模拟器0正在关闭，不能操作");
    const QString busy4 = QStringLiteral("\"PC1\"的模拟器0正在传输文件，不能操作");
    const QString busy5 = QStringLiteral("\"PC1\"的模拟器0正在安装文件，不能操作");
    const QString busy6 = QStringLiteral("\"PC1\"的模拟器0正在删除，不能操作");
    const QString gone7 = QStringLiteral("\"PC1\"的模拟器0不存在，不能操作");
    QTest::newRow("-1") << -1
                        << QStringList{"", QStringLiteral("\"PC1\"的模拟器0未打开，不能关闭"),
                                       QStringLiteral("\"PC1\"的模拟器0未打开，不能安装"), ""};
    QTest::newRow("0") << 0 << QStringList{"", "", "", ""};
    QTest::newRow("1") << 1 << QStringList{QStringLiteral("\"PC1\"的模拟器0已经打开了"), "", "", ""};
    QTest::newRow("2") << 2 << QStringList{"", "", "", ""};
    QTest::newRow("3") << 3 << QStringList{busy3, busy3, busy3, busy3};
    QTest::newRow("4") << 4 << QStringList{busy4, busy4, busy4, busy4};
    QTest::newRow("5") << 5 << QStringList{busy5, busy5, busy5, busy5};
    QTest::newRow("6") << 6 << QStringList{busy6, busy6, busy6, busy6};
    QTest::newRow("7") << 7 << QStringList{gone7, gone7, gone7, gone7};
    QTest::newRow("9") << 9 << QStringList{"", "", "", ""};
}

// Each state against each operation, through the whole check-and-send: a refusal sends nothing.
void TstGroupOperChecks::stateTable()
{
    QFETCH(int, state);
    QFETCH(QStringList, texts);
    for (int op = 0; op < 4; ++op) {
        const OpsDeviceSnapshot snap{pc(QStringLiteral("PC1"), {row("0", state, true)})};
        const OpsPlan plan = GroupOperChecks::planCheckAndSend(snap, op);
        if (texts.at(op).isEmpty()) {
            QVERIFY2(plan.refusal.ok(), qPrintable(plan.refusal.str));
            QCOMPARE(plan.sends.size(), 1);
        } else {
            QCOMPARE(plan.refusal.iRet, OpsCode::StateForbids);
            QCOMPARE(plan.refusal.str, texts.at(op));
            QVERIFY(plan.sends.isEmpty());
        }
    }
}

void TstGroupOperChecks::walkSendsPcByPcUntilTheFirstRefusal()
{
    // Run limit 4 with 2 running and 3 ticked: refused with 47 for that PC; the PC before it was
    // sent its share, the PC after it nothing.
    const OpsDeviceSnapshot snap{pc(QStringLiteral("PC0"), {row("a", -1, true)}),
                                 pc(QStringLiteral("PC1"),
                                    {row("0", 1, false), row("1", 1, false), row("2", -1, true),
                                     row("3", -1, true), row("4", -1, true)},
                                    4),
                                 pc(QStringLiteral("PC2"), {row("x", -1, true)})};
    OpsPlan plan = GroupOperChecks::planCheckAndSend(snap, eOperStartup);
    QCOMPARE(plan.refusal.iRet, OpsCode::RunLimit);
    QCOMPARE(plan.refusal.str, QStringLiteral("\"PC1\"最多只能同时运行4个模拟器"));
    QCOMPARE(plan.sends.size(), 1);
    QCOMPARE(plan.sends.first().pcKey, QStringLiteral("PC0-key"));
    QCOMPARE(plan.sends.first().memuIdxs, QStringList{"a"});
    // Exactly at the limit passes; a starting row counts like a running one.
    OpsDeviceSnapshot atLimit{
        pc(QStringLiteral("PC1"), {row("0", 1, false), row("1", 2, false), row("2", -1, true)}, 3)};
    QVERIFY(GroupOperChecks::planCheckAndSend(atLimit, eOperStartup).refusal.ok());
    atLimit[0].iRunLimit = 2;
    QCOMPARE(GroupOperChecks::planCheckAndSend(atLimit, eOperStartup).refusal.iRet, OpsCode::RunLimit);

    // A close with a not-started emulator on a later PC refuses before any PC is sent anything.
    const OpsDeviceSnapshot close{pc(QStringLiteral("PC0"), {row("a", 1, true)}),
                                  pc(QStringLiteral("PC1"), {row("b", -1, true)})};
    plan = GroupOperChecks::planCheckAndSend(close, eOperClose);
    QCOMPARE(plan.refusal.str, QStringLiteral("\"PC1\"的模拟器b未打开，不能关闭"));
    QVERIFY(plan.sends.isEmpty());

    // An offline PC refuses with 61 after the online PCs before it; deleting a running emulator
    // passes; the argument travels with every send.
    const OpsDeviceSnapshot offline{pc(QStringLiteral("PC0"), {row("a", 1, true), row("b", 1, false)}),
                                    pc(QStringLiteral("PC1"), {row("c", -1, true)}, 10, false)};
    plan = GroupOperChecks::planCheckAndSend(offline, eOperDelete, QStringLiteral("arg"));
    QCOMPARE(plan.refusal.iRet, OpsCode::PcOffline);
    QCOMPARE(plan.refusal.str, QStringLiteral("远程客户端处于离线状态，不能操作"));
    QCOMPARE(plan.sends.size(), 1);
    QCOMPARE(plan.sends.first().iOperType, int(eOperDelete));
    QCOMPARE(plan.sends.first().strArg, QStringLiteral("arg"));
}

void TstGroupOperChecks::menuDispatchAsksAndSends()
{
    AnsweringDialogs dlg;
    Sent sent;
    // Nothing ticked: 44, shown, nothing asked or sent, whatever the entry.
    const OpsDeviceSnapshot none{pc(QStringLiteral("PC0"), {row("a", 1, false)})};
    for (int index = 0; index < 5; ++index)
        QCOMPARE(GroupOperDispatch::run(index, none, dlg, sent.fn()).iRet, OpsCode::NothingTicked);
    QCOMPARE(dlg.shown.size(), 5);
    QCOMPARE(dlg.shown.first().str, QStringLiteral("当前未选择设备或模拟器，无法操作"));
    QVERIFY(dlg.asked.isEmpty() && sent.sends.isEmpty());

    // Install: a not-started target refuses with 46 before the file dialog opens.
    dlg.shown.clear();
    OpsDeviceSnapshot snap{pc(QStringLiteral("PC0"), {row("a", 1, true), row("b", -1, true)})};
    QCOMPARE(GroupOperDispatch::run(2, snap, dlg, sent.fn()).iRet, OpsCode::NotStarted);
    QCOMPARE(dlg.shown.last().str, QStringLiteral("\"PC0\"的模拟器模拟器b未启动，请先打开该模拟器"));
    QVERIFY(dlg.asked.isEmpty() && sent.sends.isEmpty());
    // Cancelled file dialog: nothing; a chosen file goes with the install.
    snap[0].rows[1].iState = 1;
    QVERIFY(GroupOperDispatch::run(2, snap, dlg, sent.fn()).ok());
    QCOMPARE(dlg.asked, QStringList{QStringLiteral("file:选择文件")});
    QVERIFY(sent.sends.isEmpty());
    dlg.file = QStringLiteral("/apks/游戏.apk");
    QVERIFY(GroupOperDispatch::run(2, snap, dlg, sent.fn()).ok());
    QCOMPARE(sent.sends.size(), 1);
    QCOMPARE(sent.sends.first().iOperType, int(eOperInstall));
    QCOMPARE(sent.sends.first().memuIdxs, (QStringList{"a", "b"}));
    QCOMPARE(sent.sends.first().strArg, dlg.file);

    // Delete: "取消" sends nothing, "确认" sends.
    dlg.asked.clear();
    sent.sends.clear();
    dlg.confirmAnswer = false;
    QVERIFY(GroupOperDispatch::run(3, snap, dlg, sent.fn()).ok());
    QCOMPARE(dlg.asked, QStringList{QStringLiteral("confirm:警告/是否删除模拟器？")});
    QVERIFY(sent.sends.isEmpty());
    dlg.confirmAnswer = true;
    QVERIFY(GroupOperDispatch::run(3, snap, dlg, sent.fn()).ok());
    QCOMPARE(sent.sends.size(), 1);
    QCOMPARE(sent.sends.first().iOperType, int(eOperDelete));
    QCOMPARE(dlg.shown.size(), 1); // only the 46 above
    QCOMPARE(GroupOperDispatch::menuTexts(),
             (QStringList{QStringLiteral("启动"), QStringLiteral("关闭"), QStringLiteral("安装apk"),
                          QStringLiteral("删除"), QStringLiteral("重命名"), QStringLiteral("群控")}));
}

void TstGroupOperChecks::renameProcedure()
{
    AnsweringDialogs dlg;
    Sent sent;
    auto rename = [&](const OpsDeviceSnapshot& snap) {
        return GrpDrawerRenameOper(snap, dlg, sent.fn()).Run();
    };

    CCommResult r = rename({pc(QStringLiteral("PC0"), {row("a", 1, false)})});
    QCOMPARE(r.iRet, OpsCode::RenameSelection);
    QCOMPARE(r.str, QStringLiteral("请选择一个模拟器。"));
    QCOMPARE(r.log, QStringLiteral("警告"));
    r = rename(
        {pc(QStringLiteral("PC0"), {row("a", 1, true)}), pc(QStringLiteral("PC1"), {row("b", 1, true)})});
    QCOMPARE(r.str, QStringLiteral("请单选模拟器进行重命名操作。"));
    r = rename({pc(QStringLiteral("PC0"), {row("a", 1, true)}, 10, false)});
    QCOMPARE(r.iRet, OpsCode::PcOffline);
    QCOMPARE(r.str, QStringLiteral("远程客户端处PC0于离线状态，不能操作"));
    const QStringList stateTexts{QStringLiteral("PC0的模拟器a正在传输文件，请稍候。"),
                                 QStringLiteral("PC0的模拟器a正在安装文件，请稍候。"),
                                 QStringLiteral("PC0的模拟器a正在删除文件，请稍候。"),
                                 QStringLiteral("\"PC0\"的模拟器a不存在，不能操作")};
    for (int state = 4; state <= 7; ++state) {
        r = rename({pc(QStringLiteral("PC0"), {row("a", state, true)})});
        QCOMPARE(r.iRet, OpsCode::StateForbids);
        QCOMPARE(r.str, stateTexts.at(state - 4));
    }
    // Any product check comes after the state; a MEmu PC is refused with 71.
    r = rename({pc(QStringLiteral("PC0"), {row("a", 1, true)}, 10, true, 1)});
    QCOMPARE(r.iRet, OpsCode::RenameUnsupported);
    QCOMPARE(r.str, QStringLiteral("暂不支持逍遥模拟器的重命名"));
    QVERIFY(dlg.asked.isEmpty() && sent.sends.isEmpty());

    // A running LDPlayer emulator passes; the input names it and starts with its name; cancelling
    // it through the menu shows nothing.
    const OpsDeviceSnapshot ok{pc(QStringLiteral("PC0"), {row("a", 3, false), row("b", 1, true)})};
    dlg.textAnswer = false;
    QVERIFY(GroupOperDispatch::run(4, ok, dlg, sent.fn()).ok());
    QCOMPARE(dlg.asked,
             QStringList{QStringLiteral("text:请输入/请输入模拟器名字（\"PC0\"的模拟器b）/模拟器b")});
    QVERIFY(dlg.shown.isEmpty() && sent.sends.isEmpty());
    dlg.textAnswer = true;
    dlg.text = QStringLiteral("新 名字");
    QVERIFY(GroupOperDispatch::run(4, ok, dlg, sent.fn()).ok());
    QCOMPARE(sent.sends.size(), 1);
    QCOMPARE(sent.sends.first().pcKey, QStringLiteral("PC0-key"));
    QCOMPARE(sent.sends.first().iOperType, int(eOperRename));
    QCOMPARE(sent.sends.first().memuIdxs, QStringList{"b"});
    QCOMPARE(sent.sends.first().strArg, dlg.text);
    // Through the menu a refusal is shown.
    GroupOperDispatch::run(4, {pc(QStringLiteral("PC0"), {row("a", 1, true)}, 10, true, 1)}, dlg, sent.fn());
    QCOMPARE(dlg.shown.size(), 1);
    QCOMPARE(dlg.shown.first().iRet, OpsCode::RenameUnsupported);
}

// Create: offline and full PCs refused before the question, the number asked bounded by the room
// the agent leaves (kMaxSimusPerPc less the listed emulators), the list looked at again once
// answered, one create record (naming no emulator) per emulator.
void TstGroupOperChecks::createAsksWithinTheRoomLeft()
{
    QList<OpsSimuRow> rows;
    for (int i = 0; i < kMaxSimusPerPc - 3; ++i)
        rows << row(QString::number(i), eStateNotStarted, false);
    OpsDeviceSnapshot snap{pc(QStringLiteral("PC1"), rows), pc(QStringLiteral("PC2"), {}, 4, false)};
    AnsweringDialogs dlg;
    Sent sent;
    dlg.number = 2;
    QVERIFY(GroupOperDispatch::create(
                QStringLiteral("PC1-key"), [&] { return snap; }, dlg, sent.fn())
                .ok());
    QCOMPARE(dlg.asked,
             QStringList{QStringLiteral("number:新建模拟器/在\"PC1\"上新建几个模拟器？（1-3个）/1/1-3")});
    QCOMPARE(sent.sends.size(), 1);
    QCOMPARE(sent.sends.first().iOperType, int(eOperCreate));
    QCOMPARE(sent.sends.first().memuIdxs, (QStringList{QString(), QString()}));

    // Emulators listed meanwhile leave less room than was asked for: refused, nothing sent.
    dlg.number = 3;
    int calls = 0;
    const auto growWhileAsked = [&] {
        OpsDeviceSnapshot now = snap;
        if (++calls % 2 == 0)
            now[0].rows << row(QStringLiteral("new"), eStateNotStarted, false);
        return now;
    };
    const CCommResult late =
        GroupOperDispatch::create(QStringLiteral("PC1-key"), growWhileAsked, dlg, sent.fn());
    QCOMPARE(late.iRet, OpsCode::CreateNoRoom);
    QCOMPARE(late.str, QStringLiteral("\"PC1\"已有%1个模拟器，最多%2个，不能再新建3个")
                           .arg(kMaxSimusPerPc - 2)
                           .arg(kMaxSimusPerPc));
    // Cancelled: nothing; offline, unknown and full PCs: refused without a question.
    dlg.numberAnswer = false;
    QVERIFY(GroupOperDispatch::create(
                QStringLiteral("PC1-key"), [&] { return snap; }, dlg, sent.fn())
                .ok());
    dlg.asked.clear();
    QCOMPARE(GroupOperDispatch::create(
                 QStringLiteral("PC2-key"), [&] { return snap; }, dlg, sent.fn())
                 .iRet,
             OpsCode::PcOffline);
    QCOMPARE(GroupOperDispatch::create(
                 QStringLiteral("gone"), [&] { return snap; }, dlg, sent.fn())
                 .iRet,
             OpsCode::PcOffline);
    snap[0].rows << row(QStringLiteral("a"), 1, false) << row(QStringLiteral("b"), 1, false)
                 << row(QStringLiteral("c"), 1, false);
    QCOMPARE(GroupOperDispatch::create(
                 QStringLiteral("PC1-key"), [&] { return snap; }, dlg, sent.fn())
                 .iRet,
             OpsCode::CreateNoRoom);
    QVERIFY(dlg.asked.isEmpty());
    QCOMPARE(sent.sends.size(), 1);
    QCOMPARE(dlg.shown.size(), 4);
}

QTEST_GUILESS_MAIN(TstGroupOperChecks)
#include "tst_groupoperchecks.moc"
