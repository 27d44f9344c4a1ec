#include "resultdisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <memory>

namespace {

// Presses the given button of the box once it is up; bounded by the number of attempts.
void pressLater(const QString& button, QString* seenTitle, QStringList* seenButtons,
                QMessageBox::Icon* seenIcon = nullptr)
{
    auto attempts = std::make_shared<int>(0);
    auto* timer = new QTimer(qApp);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QMessageBox* box = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && qobject_cast<QMessageBox*>(w))
                box = qobject_cast<QMessageBox*>(w);
        }
        if (!box && ++*attempts < 250)
            return;
        timer->deleteLater();
        if (!box)
            return;
        *seenTitle = box->windowTitle();
        if (seenIcon)
            *seenIcon = box->icon();
        for (QAbstractButton* b : box->buttons()) {
            seenButtons->append(b->text());
            if (b->text() == button)
                b->click();
        }
    });
    timer->start();
}

} // namespace

class TestResultDisplay : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setResultBox(ResultBoxFn()); }
    void titlesAndTexts_data();
    void titlesAndTexts();
    void confirmOnlyCountsWithTwoButtons();
    void realBox();
    void realBoxFromWorkerThread();

private:
    QString m_title;
    QString m_text;
    bool m_twoButtons = false;
    int m_calls = 0;
};

void TestResultDisplay::titlesAndTexts_data()
{
    QTest::addColumn<int>("iRet");
    QTest::addColumn<QString>("str");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("success titled") << 0 << "保存成功"
                                    << "恭喜"
                                    << "恭喜"
                                    << "保存成功";
    QTest::newRow("success untitled") << 0 << "保存成功"
                                      << ""
                                      << ""
                                      << "保存成功";
    QTest::newRow("success no text") << 0 << ""
                                     << ""
                                     << "成功"
                                     << "操作成功     ";
    QTest::newRow("success no text, titled") << 0 << ""
                                             << "完成"
                                             << "完成"
                                             << "操作成功     ";
    QTest::newRow("failure") << 41 << "解析json出错"
                             << "illegal value"
                             << "错误"
                             << "解析json出错";
}

void TestResultDisplay::titlesAndTexts()
{
    QFETCH(int, iRet);
    QFETCH(QString, str);
    QFETCH(QString, log);
    m_calls = 0;
    setResultBox([this](const QString& title, const QString& text, bool two) {
        m_title = title;
        m_text = text;
        m_twoButtons = two;
        ++m_calls;
        return true;
    });
    CCommResult in;
    in.iRet = iRet;
    in.str = str;
    in.log = log;
    QTest::ignoreMessage(QtWarningMsg, qUtf8Printable(str));
    QTest::ignoreMessage(QtWarningMsg, qUtf8Printable(log));
    const CCommResult out = showResult(in);
    QCOMPARE(m_calls, 1);
    QTEST(m_title, "title");
    QTEST(m_text, "text");
    QCOMPARE(m_twoButtons, false);
    QCOMPARE(out.iRet, 0); // one button: never "confirmed"
}

void TestResultDisplay::confirmOnlyCountsWithTwoButtons()
{
    bool answer = true;
    setResultBox([&answer](const QString&, const QString&, bool two) { return two && answer; });
    QTest::ignoreMessage(QtWarningMsg, "ok");
    QTest::ignoreMessage(QtWarningMsg, "");
    CCommResult in;
    in.str = "ok";
    QCOMPARE(showResult(in, true).iRet, 1);
    answer = false;
    QTest::ignoreMessage(QtWarningMsg, "ok");
    QTest::ignoreMessage(QtWarningMsg, "");
    QCOMPARE(showResult(in, true).iRet, 0);
}

void TestResultDisplay::realBox()
{
    QString title;
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    CCommResult failure = CCommResult::failure(9, "tcpSocket连接失败", "refused");
    QTest::ignoreMessage(QtWarningMsg, "tcpSocket连接失败");
    QTest::ignoreMessage(QtWarningMsg, "refused");
    pressLater("确认", &title, &buttons, &icon);
    QCOMPARE(showResult(failure, true).iRet, 1);
    QCOMPARE(title, QStringLiteral("错误"));
    QCOMPARE(icon, QMessageBox::Warning); // an error warns
    QCOMPARE(buttons.size(), 2);
    QVERIFY(buttons.contains("确认") && buttons.contains("取消"));

    buttons.clear();
    QTest::ignoreMessage(QtWarningMsg, "tcpSocket连接失败");
    QTest::ignoreMessage(QtWarningMsg, "refused");
    pressLater("取消", &title, &buttons);
    QCOMPARE(showResult(failure, true).iRet, 0);
    QCOMPARE(buttons.size(), 2);
}

void TestResultDisplay::realBoxFromWorkerThread()
{
    // A worker's result is shown by the GUI thread; the worker gets the answer.
    QString title;
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    CCommResult ok;
    ok.str = "安装成功";
    ok.log = "恭喜";
    QTest::ignoreMessage(QtWarningMsg, "安装成功");
    QTest::ignoreMessage(QtWarningMsg, "恭喜");
    pressLater("确认", &title, &buttons, &icon);
    std::atomic<int> ret{-1};
    std::unique_ptr<QThread> worker(QThread::create([&] { ret = showResult(ok, true).iRet; }));
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 10000);
    QCOMPARE(ret.load(), 1);
    QCOMPARE(title, QStringLiteral("恭喜"));
    QCOMPARE(icon, QMessageBox::Information); // a success informs
}

QTEST_MAIN(TestResultDisplay)
#include "tst_resultdisplay.moc"
