#pragma once

#include "opsdialogs.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <memory>

class CenterToolMainWnd;
class QLocalServer;
class QLocalSocket;
class RemoteDesktopWnd;

// The questions of the operations answered from a queue the test driver fills ("answer ..."); an
// empty queue answers as a user who cancels. Results shown are kept for the driver's dump.
class QueuedOpsDialogs : public OpsDialogs
{
public:
    QString chooseFile(const QString& title) override;
    bool confirm(const QString& title, const QString& text) override;
    bool askText(const QString& title, const QString& label, QString& text) override;
    void showResult(const CCommResult& result) override;

    void queueFile(const QString& path);
    void queueText(const QString& text, bool bNext = false); // bNext: ahead of those waiting
    void queueConfirm(bool yes);
    // Every shown result and every message box of the window, oldest first.
    void addShown(int iRet, const QString& title, const QString& text);
    QJsonArray shown() const;

private:
    mutable QMutex m_lock;
    QStringList m_files;
    QStringList m_texts;
    QList<bool> m_confirms;
    QList<QJsonObject> m_shown;
};

// Lets a test program operate a running console through the window's own code paths: a local
// socket (a filesystem path, reachable from any network namespace) takes one command a line and
// answers each with one line of JSON ({"ok":true,...} or {"ok":false,"error":"..."}).
//
//   dump                      PCs with their online label, rows (idx, name, state, stateText, time,
//                             checked) and tiles (screenshot, progress); results shown; the viewer
//   tick PC IDX...            ticks rows as their check boxes do (PC: its name or nick name)
//   untick                    clears every tick
//   menu N                    the device list's menu entry N (0 start, 1 close, 2 install,
//                             3 delete, 4 rename)
//   answer file PATH | answer name TEXT | answer confirm [no]
//                             the answer to the next such question of an operation
//   rdp PC [IDX]              a double click on the PC's tile (the first one unless IDX)
//   click X Y                 a left click at X,Y of the open viewer (window coordinates); the
//                             answer names the agent pixel it maps to
//   closerdp                  closes the open viewer
//   group PC new NAME | group PC move GROUP | group delete GROUP
//                             a right click on the PC's (or the group's) title row and the menu entry
//                             picked there: a new group for the PC, a move, the group deleted
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

private slots:
    void slNewConnection();
    void slReadyRead();

private:
    QJsonObject dump() const;
    QJsonObject tick(const QStringList& words);
    QJsonObject untick();
    QJsonObject menu(const QStringList& words);
    QJsonObject answer(const QStringList& words, const QString& line);
    QJsonObject rdp(const QStringList& words);
    QJsonObject click(const QStringList& words);
    QJsonObject closeRdp();
    QJsonObject retryRdp();
    QJsonObject group(const QStringList& words, const QString& line);
    // A right click on the row; the popup it opens is answered by picking the entry at this path
    // (an entry, or a submenu and its entry). False when no popup opened.
    bool rightClickAndPick(QWidget* pRow, const QStringList& path);
    QString pcKey(const QString& nameOrNick) const;
    RemoteDesktopWnd* viewer() const;

    CenterToolMainWnd& m_wnd;
    std::shared_ptr<QueuedOpsDialogs> m_pDialogs;
    QLocalServer* m_pServer = nullptr;
};
