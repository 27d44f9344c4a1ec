#include "resultdisplay.h"

#include <cstdio>

#include <QApplication>
#include <QMessageBox>
#include <QMutex>
#include <QMutexLocker>
#include <QPushButton>
#include <QThread>
#include <QtDebug>

namespace {

QMutex g_boxMutex;
ResultBoxFn g_box;

const QString kErrorTitle = QStringLiteral("错误");

// The real box: parentless, "确认" and optionally "取消"; an error (titled "错误") carries the warning
// icon, every other result the information icon.
bool messageBox(const QString& title, const QString& text, bool twoButtons)
{
    // Without a widget application (console-mode use, headless tools) there is nothing to show.
    QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app)
        return false;
    // Widgets live in the GUI thread only: a worker's result is shown there, and the worker waits.
    if (QThread::currentThread() != app->thread()) {
        bool confirmed = false;
        QMetaObject::invokeMethod(
            app, [&] { confirmed = messageBox(title, text, twoButtons); }, Qt::BlockingQueuedConnection);
        return confirmed;
    }
    QMessageBox box(title == kErrorTitle ? QMessageBox::Warning : QMessageBox::Information, title, text);
    QPushButton* ok = box.addButton(QStringLiteral("确认"), QMessageBox::AcceptRole);
    if (twoButtons)
        box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    box.setDefaultButton(ok);
    box.exec();
    return box.clickedButton() == ok;
}

} // namespace

ResultBoxFn currentResultBox()
{
    QMutexLocker lock(&g_boxMutex);
    return g_box ? g_box : ResultBoxFn(messageBox);
}

void setResultBox(ResultBoxFn fn)
{
    QMutexLocker lock(&g_boxMutex);
    g_box = std::move(fn);
}

CCommResult showResult(const CCommResult& result, bool twoButtons)
{
    QString title;
    QString text;
    if (result.iRet == 0) {
        if (!result.str.isEmpty()) {
            title = result.log;
            text = result.str;
        } else {
            title = result.log.isEmpty() ? QStringLiteral("成功") : result.log;
            text = QStringLiteral("操作成功     ");
        }
    } else {
        title = kErrorTitle;
        text = result.str;
    }

    const bool confirmed = currentResultBox()(title, text, twoButtons);
    qWarning("%s", qUtf8Printable(result.str));
    qWarning("%s", qUtf8Printable(result.log));

    CCommResult r;
    r.iRet = (twoButtons && confirmed) ? 1 : 0;
    return r;
}

void useStderrResultBox()
{
    setResultBox([](const QString& title, const QString& text, bool) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
        return true;
    });
}
