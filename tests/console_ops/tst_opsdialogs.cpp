// The operations' questions as a person meets them: the console's window with its operations and the
// test driver's dialogs, which put every question nobody answered beforehand to the real dialogs.
// Keys are typed into those dialogs; what the answers send is read by a stand-in agent that keeps
// every command connection's bytes.
#include "centertoolmainwnd.h"
#include "consoleopswiring.h"
#include "consoletestdriver.h"
#include "groupcontrolwnd.h"
#include "grpdraweroper.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "qtchinese.h"
#include "quietconsole.h"
#include "simusettings.h"
#include "standinagents.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <functional>

namespace {

const QString kPc = QStringLiteral("pc-a");

// Runs `act` on the first dialog that opens over the window (bounded), from the dialog's own loop;
// a dialog `act` left open is cancelled.
void onDialog(QWidget* pWnd, std::function<void(QDialog*)> act, bool* pSeen)
{
    *pSeen = false;
    auto* pTimer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(pTimer, &QTimer::timeout, [=] {
        auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        const bool open = pDialog && pDialog != pWnd && pDialog->isVisible();
        if (!open && ++*tries < 250)
            return;
        pTimer->deleteLater();
        if (open) {
            *pSeen = true;
            QPointer<QDialog> pKept(pDialog);
            act(pDialog);
            if (pKept && pKept->isVisible())
                pKept->reject(); // a failed check above: the test goes on to report it
        }
    });
    pTimer->start(20);
}

// A message box with the warning icon, the title and the text, left with the key.
std::function<void(QDialog*)> warningBox(const QString& title, const QString& text, Qt::Key key)
{
    return [=](QDialog* d) {
        auto* pBox = qobject_cast<QMessageBox*>(d);
        QVERIFY(pBox);
        QCOMPARE(pBox->windowTitle(), title);
        QCOMPARE(pBox->text(), text);
        QCOMPARE(pBox->icon(), QMessageBox::Warning);
        QTest::keyClick(d, key);
    };
}

QStringList buttonTexts(QDialog* pDialog)
{
    QStringList texts;
    for (QDialogButtonBox* pBox : pDialog->findChildren<QDialogButtonBox*>()) {
        for (QAbstractButton* b : pBox->buttons())
            texts << b->text();
    }
    return texts;
}

} // namespace

class TstOpsDialogs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void questionsAnsweredWithKeys();

private:
    QTemporaryDir m_home;
};

void TstOpsDialogs::initTestCase()
{
    QVERIFY(m_home.isValid());
    SimuSettings::setDataDir(m_home.path());
    CLoginRet user;
    user.strUserName = QStringLiteral("alice");
    LoginRecord::set(user);
    if (installQtChineseTranslations(*qApp).isEmpty())
        QSKIP("Qt's Chinese translations (package qttranslations5-l10n) are not installed");
}

void TstOpsDialogs::questionsAnsweredWithKeys()
{
    RecordingAgent agent;
    QVERIFY(agent.ok());
    QuietConsole console;
    QVERIFY(console.bound());
    CenterToolMainWnd& wnd = console.wnd();
    auto* pDriver = new ConsoleTestDriver(wnd);
    ConsoleOpsOptions opts;
    opts.agentPort = agent.port();
    opts.resultPort = 0;
    opts.dialogs = pDriver->dialogs();
    opts.groupFile = m_home.filePath(QStringLiteral("devGroups.json"));
    attachConsoleOps(wnd, opts);
    wnd.initWnd();

    wnd.slNewPcInfoArrived(listedPc(kPc, QStringLiteral("机房一"), 4,
                                    {struSimuEntry{21503, QStringLiteral("0"), QStringLiteral("sim-0")},
                                     struSimuEntry{21505, QStringLiteral("1"), QStringLiteral("sim-1")}}));
    wnd.slSetState(kPc, QStringLiteral("0"), 1, 1); // running: an install may go there
    MyDrawerEx* pPc = wnd.leftGrpDrawer()->findPc(kPc);
    QVERIFY(pPc);
    bool seen = false;
    auto pick = [&](int entry, const QString& idx) {
        if (!idx.isEmpty())
            pPc->cell(idx)->checkBox()->setChecked(true);
        wnd.slDrawerCellMenuTriggered(entry);
        QVERIFY2(seen, "no dialog opened");
    };
    auto sentNothing = [&] {
        QTest::qWait(500);
        return agent.received.isEmpty();
    };

    // Rename: the input names the emulator and starts with its name, all of it selected; typing
    // replaces it and Enter sends the new name.
    onDialog(
        &wnd,
        [](QDialog* d) {
            auto* pInput = qobject_cast<QInputDialog*>(d);
            QVERIFY(pInput);
            QCOMPARE(pInput->labelText(), QStringLiteral("请输入模拟器名字（\"机房一\"的sim-1）"));
            QCOMPARE(buttonTexts(d), (QStringList{QStringLiteral("确定"), QStringLiteral("取消")}));
            auto* pEdit = d->findChild<QLineEdit*>();
            QCOMPARE(pEdit->selectedText(), QStringLiteral("sim-1"));
            QTest::keyClicks(pEdit, QStringLiteral("farm two"));
            QTest::keyClick(pEdit, Qt::Key_Return);
        },
        &seen);
    pick(4, QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(agent.received.size(), 1, 10000);
    QVERIFY(agent.received.takeFirst().contains("farm two"));

    // Esc cancels a rename silently: nothing sent, no box.
    onDialog(
        &wnd, [](QDialog* d) { QTest::keyClick(d->findChild<QLineEdit*>(), Qt::Key_Escape); }, &seen);
    pick(4, QStringLiteral("1"));
    QVERIFY(sentNothing());

    // Install: Qt's own file dialog in Chinese, APK files first, opened at home; the path typed and
    // Enter send it, and its folder is kept.
    QTemporaryDir apks;
    const QString apk = apks.filePath(QStringLiteral("game.apk")); // typed: QTest types ASCII only
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'K')) > 0);
    f.close();
    onDialog(
        &wnd,
        [&](QDialog* d) {
            auto* pFiles = qobject_cast<QFileDialog*>(d);
            QVERIFY(pFiles);
            QCOMPARE(pFiles->windowTitle(), QStringLiteral("选择文件"));
            QCOMPARE(pFiles->nameFilters(),
                     (QStringList{QStringLiteral("APK文件 (*.apk)"), QStringLiteral("所有文件 (*)")}));
            QCOMPARE(pFiles->directory().absolutePath(), QDir::homePath());
            const QStringList buttons = buttonTexts(d);
            QVERIFY2(buttons.size() == 2 && buttons.first().startsWith(QStringLiteral("打开")) &&
                         buttons.last() == QStringLiteral("取消"),
                     qPrintable(buttons.join('|')));
            auto* pName = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QTest::keyClicks(pName, apk);
            QTest::keyClick(pName, Qt::Key_Return);
        },
        &seen);
    pick(2, QStringLiteral("0"));
    QTRY_COMPARE_WITH_TIMEOUT(agent.received.size(), 1, 10000);
    QVERIFY(agent.received.takeFirst().contains(QByteArray(4096, 'K')));
    QCOMPARE(SimuSettings::value(WidgetOpsDialogs::lastFolderKey()).toString(), apks.path());

    // The next install opens in that folder; Esc sends nothing.
    QString openedIn;
    onDialog(
        &wnd,
        [&](QDialog* d) {
            openedIn = qobject_cast<QFileDialog*>(d)->directory().absolutePath();
            QTest::keyClick(d, Qt::Key_Escape);
        },
        &seen);
    pick(2, QStringLiteral("0"));
    QCOMPARE(openedIn, apks.path());
    QVERIFY(sentNothing());

    // Delete asks with the warning icon; Esc keeps the emulator.
    onDialog(&wnd, warningBox(QStringLiteral("警告"), QStringLiteral("是否删除模拟器？"), Qt::Key_Escape),
             &seen);
    pick(3, QStringLiteral("1"));
    QVERIFY(sentNothing());

    // Nothing ticked: the error box warns, Enter closes it; the driver kept it.
    onDialog(&wnd,
             warningBox(QStringLiteral("错误"), QStringLiteral("当前未选择设备或模拟器，无法操作"),
                        Qt::Key_Return),
             &seen);
    pick(0, QString());
    const QJsonArray shown = pDriver->run(QStringLiteral("dump")).value(QStringLiteral("results")).toArray();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().toObject().value(QStringLiteral("text")).toString(),
             QStringLiteral("当前未选择设备或模拟器，无法操作"));
    QVERIFY(sentNothing());

    // "群控" refuses as the others do when nothing is ticked; ticked, the driver opens it with its
    // menu entry and shows it in the dump; closing asks (the console's own box), Esc keeps it, Enter
    // ends the run (its end goes to the agent).
    onDialog(&wnd,
             warningBox(QStringLiteral("错误"), QStringLiteral("当前未选择设备或模拟器，无法操作"),
                        Qt::Key_Return),
             &seen);
    pick(eMenuGroupControl, QString());
    QVERIFY(sentNothing());
    QVERIFY(pDriver->run(QStringLiteral("tick 机房一 0 1")).value(QStringLiteral("ok")).toBool());
    QVERIFY(pDriver->run(QStringLiteral("menu 5")).value(QStringLiteral("ok")).toBool());
    const QJsonObject group =
        pDriver->run(QStringLiteral("dump")).value(QStringLiteral("groupControl")).toObject();
    QCOMPARE(group.value(QStringLiteral("title")).toString(), QStringLiteral("群控"));
    const QJsonArray members = group.value(QStringLiteral("members")).toArray();
    QCOMPARE(members.size(), 2);
    QCOMPARE(members.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("sim-0"));
    QCOMPARE(members.at(0).toObject().value(QStringLiteral("state")).toString(), pPc->cell("0")->stateText());
    QCOMPARE(members.at(1).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("未启动"));
    QVERIFY(group.value(QStringLiteral("runId")).toString().size() > 8);
    onDialog(&wnd, warningBox(QStringLiteral("群控"), GroupControlWnd::closeQuestion(), Qt::Key_Escape),
             &seen);
    QVERIFY(pDriver->run(QStringLiteral("closegroup")).value(QStringLiteral("ok")).toBool());
    QTRY_VERIFY_WITH_TIMEOUT(seen, 10000);
    QVERIFY(pDriver->run(QStringLiteral("dump")).contains(QStringLiteral("groupControl")));
    onDialog(&wnd, warningBox(QStringLiteral("群控"), GroupControlWnd::closeQuestion(), Qt::Key_Return),
             &seen);
    QVERIFY(pDriver->run(QStringLiteral("closegroup")).value(QStringLiteral("ok")).toBool());
    QTRY_VERIFY_WITH_TIMEOUT(seen, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!pDriver->run(QStringLiteral("dump")).contains(QStringLiteral("groupControl")),
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(agent.received.begin(), agent.received.end(),
                    [](const QByteArray& doc) {
                        QList<struSimuOper> records;
                        return JsonCodec::parseCommandDoc(doc, records, QString()).ok() &&
                               !records.isEmpty() && records.first().iOperType == eOperGroupViewEnd;
                    }),
        10000);
    wnd.shutdown();
}

QTEST_MAIN(TstOpsDialogs)
#include "tst_opsdialogs.moc"
