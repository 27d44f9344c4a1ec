#pragma once

#include "opsdialogs.h"
#include "resultdisplay.h"
#include "widgetopsdialogs.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <memory>

class CenterToolMainWnd;
class QLocalServer;
class QLocalSocket;
class GroupControlWnd;
class RemoteDesktopWnd;

// The questions of the operations: answered from a queue the test driver fills ("answer ..." before
// the question), else put to the user with the console's real dialogs. Every result box shown is kept
// for the driver's dump.
class QueuedOpsDialogs : public OpsDialogs
{
public:
    explicit QueuedOpsDialogs(QWidget* pParent) : m_real(pParent) {}
    QString chooseFile(const QString& title) override;
    bool confirm(const QString& title, const QString& text) override;
    bool askText(const QString& title, const QString& label, QString& text) override;
    bool askNumber(const QString& title, const QString& label, int& value, int iMin, int iMax) override;
    void showResult(const CCommResult& result) override;

    void queueNumber(int value);
    void queueFile(const QString& path);
    void queueText(const QString& text, bool bNext = false); // bNext: ahead of those waiting
    void queueConfirm(bool yes);
    // Every result box of the window, oldest first (any thread).
    void addShown(const QString& title, const QString& text);
    QJsonArray shown() const;

private:
    WidgetOpsDialogs m_real;
    mutable QMutex m_lock;
    QStringList m_files;
    QStringList m_texts;
    QList<bool> m_confirms;
    QList<int> m_numbers;
    QList<QJsonObject> m_shown;
};

// Lets a script operate a running console through the window's own code paths: a local socket (a
// filesystem path, reachable from any network namespace) takes one command a line and answers each
// with one line of JSON ({"ok":true,...} or {"ok":false,"error":"..."}). The window's dialogs and
// boxes are real: the driver answers one only when told to, before it opens or while it is open.
//
//   dump                      PCs with their online label, row tip, whether shown offline or hidden,
//                             rows (idx, name, state, stateText, time, checked, greyed, hidden) and
//                             tiles (screenshot, progress, offline, hidden, rect on the screen); the
//                             result boxes shown; the open dialog (kind, title, texts, buttons); the
//                             viewer; the window; the filter text
//   tick PC IDX...            ticks rows as their check boxes do (PC: its name or nick name)
//   untick                    clears every tick
//   menu N                    the device list's menu entry N (0 start, 1 close, 2 install,
//                             3 delete, 4 rename, 5 group control)
//   answer file PATH | answer name TEXT | answer number N | answer confirm [no] | answer cancel
//                             with a dialog open: answers it through its buttons (confirm: a message
//                             box's 确认, or 取消 with "no"; cancel: any dialog); else the answer to
//                             the next such question of an operation (not cancel)
//   rdp PC [IDX]              a double click on the PC's tile (the first one unless IDX)
//   click X Y                 a left click at X,Y of the open viewer (window coordinates); the
//                             answer names the agent pixel it maps to
//   closerdp                  closes the open viewer
//   closegroup                asks the group control window to close (its question follows; the dump
//                             shows the window as "groupControl": run, lead, message, picture and
//                             the members with their state and follow texts)
//   group PC new NAME | group PC move GROUP | group delete GROUP
//                             a right click on the PC's (or the group's) title row and the menu entry
//                             picked there: a new group for the PC, a move, the group deleted
//   pcmenu PC ENTRY | groupmenu GROUP ENTRY | tilemenu PC IDX ENTRY
//                             a right click on the PC's title row, the group's title row or the tile,
//                             and the entry with that text picked (新建模拟器, 勾选运行中, 启动, ...)
//   filter [TEXT]             TEXT typed into the filter box over the list (none: the box cleared)
//
// "menu", "group" and the three menu commands answer when their work is done or when it opens a dialog (the
// answer then carries "dialog"). While a dialog is open, only dump and answer are taken, as the window takes
// no clicks then.
class ConsoleTestDriver : public QObject
{
    Q_OBJECT
public:
    explicit ConsoleTestDriver(CenterToolMainWnd& wnd);
    ~ConsoleTestDriver() override;

    std::shared_ptr<OpsDialogs> dialogs() const { return m_pDialogs; }
    bool listen(const QString& path, QString& error);
    // Runs one command line; the answer object (also used by the socket).
    QJsonObject run(const QString& line);
    // What a dialog shows: kind (file, text, box or dialog), title, texts, buttons.
    static QJsonObject describeDialog(QWidget* pDialog);

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private slots:
    void slNewConnection();
    void slReadyRead();

private:
    void runDeferred(QLocalSocket* pSocket, const QString& line);
    void replyPending(const QJsonObject& answer);
    QJsonObject dump() const;
    QJsonObject tick(const QStringList& words);
    QJsonObject untick();
    QJsonObject menu(const QStringList& words);
    QJsonObject answer(const QStringList& words, const QString& line);
    QJsonObject answerOpen(QWidget* pDialog, const QString& kind, const QString& value);
    QJsonObject rdp(const QStringList& words);
    QJsonObject click(const QStringList& words);
    QJsonObject closeRdp();
    QJsonObject closeGroup();
    GroupControlWnd* groupWnd() const;
    static QJsonObject describeGroup(GroupControlWnd* pGroup);
    QJsonObject retryRdp();
    QJsonObject group(const QStringList& words, const QString& line);
    QJsonObject titleMenu(const QStringList& words, const QString& line);
    QJsonObject tileMenu(const QStringList& words, const QString& line);
    QJsonObject filter(const QString& line);
    // A right click on the row; the popup it opens is answered by picking the entry at this path
    // (an entry, or a submenu and its entry). False when no popup opened.
    bool rightClickAndPick(QWidget* pRow, const QStringList& path);
    QString pcKey(const QString& nameOrNick) const;
    // The modal dialog open over the window, if any.
    QWidget* openDialog() const;
    RemoteDesktopWnd* viewer() const;

    CenterToolMainWnd& m_wnd;
    std::shared_ptr<QueuedOpsDialogs> m_pDialogs;
    ResultBoxFn m_previousBox;
    QLocalServer* m_pServer = nullptr;
    QPointer<QLocalSocket> m_pPending; // waits for the answer of a menu or group command
};
