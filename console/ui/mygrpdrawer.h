#pragma once

#include "absdrawer.h"
#include "agentregistry.h"
#include "commresult.h"

#include <QHash>
#include <QMenu>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;

// Context menu of an emulator row: "启动" (0), "关闭" (1), "安装apk" (2), "删除" (3), "重命名" (4),
// "群控" (5).
class MenuOfDrawerCell : public QMenu
{
    Q_OBJECT
public:
    explicit MenuOfDrawerCell(QWidget* parent = nullptr);
    static QStringList entryTexts();

signals:
    void sigDrawerCellMenuTriggered(int index);
};

// The entries of a PC's and a group's title menu that tick its emulators by state: "勾选运行中"
// ticks exactly those running (the others of the PC or group unticked), "勾选未启动" those not started.
namespace TickByState {
QString runningText();
QString stoppedText();
// Inserts both entries before pBefore (at the end when null); `tick` is given the state.
void insertEntries(QMenu* pMenu, QAction* pBefore, const std::function<void(int iState)>& tick);
} // namespace TickByState

// One emulator row of the device list: check box with the emulator's name, and its state text.
class MyDrawerCell : public AbsDrawerCell
{
    Q_OBJECT
public:
    MyDrawerCell(const struSimuRow& row, QWidget* parent = nullptr);

    QString memuIdx() const { return m_memuIdx; }
    QString simuName() const { return m_simuName; }
    int state() const { return m_iState; }
    QString stateText() const;
    bool isChecked() const;
    QCheckBox* checkBox() const { return m_pCheck; }
    QLabel* stateLabel() const { return m_pState; }

    // The name shown is cut to the width left beside the state column (the whole name in the tip).
    void setSimuName(const QString& name);
    void setState(int iState, int iDaemonModel);
    void setChecked(bool bChecked); // without emitting sigCheckChanged
    // The row of an offline PC is greyed (its state reads as the reports left it).
    void setGreyed(bool bGreyed);
    bool isGreyed() const { return m_bGreyed; }

signals:
    void sigDrawerCellMenuTriggered(int index);
    void sigCheckChanged(QString memuIdx, bool bChecked);
    // A right click on the row: the list opens the row's menu there.
    void sigMenuRequested(QPoint globalPos);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_memuIdx;
    QString m_simuName;
    int m_iState = -1;
    int m_iDaemonModel = 0;
    bool m_bStateShown = false; // the state text has been set once
    bool m_bGreyed = false;
    QCheckBox* m_pCheck = nullptr;
    QLabel* m_pState = nullptr;
};

// Title row of a device-list drawer: check box, name, and the device state label ("在线"/"离线").
class DrawerTitleCell : public AbsDrawerTitle
{
    Q_OBJECT
public:
    explicit DrawerTitleCell(const QString& name, bool bWithState, QWidget* parent = nullptr);

    // The whole name; the label shows it cut to its width.
    void setName(const QString& name);
    QString name() const { return m_name; }
    void setDevState(const QString& text);
    QString devState() const;
    // The tip of the whole row (its name label included); empty: the name label tips its name.
    void setRowToolTip(const QString& tip);
    QString rowToolTip() const { return m_tip; }
    void setGreyed(bool bGreyed);
    QCheckBox* checkBox() const { return m_pCheck; }
    QLabel* devStateLabel() const { return m_pDevState; }
    void setOpened(bool bOpened) override;

signals:
    // A right click on the row, at this global position.
    void sigContextMenuRequested(QPoint globalPos);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_name;
    QString m_tip;
    QCheckBox* m_pCheck = nullptr;
    QLabel* m_pArrow = nullptr;
    QLabel* m_pName = nullptr;
    QLabel* m_pDevState = nullptr;
};

// A drawer of the device list; the group drawers are of this class.
class MyDrawerUI : public AbsDrawer
{
    Q_OBJECT
public:
    explicit MyDrawerUI(const QString& name, bool bWithState = false, QWidget* parent = nullptr);
    DrawerTitleCell* titleCell() const { return m_pTitleCell; }
    void addChild(QWidget* pChild);
    void removeChild(QWidget* pChild);

    QString grpName() const { return m_pTitleCell->name(); }
    QString grpId() const { return m_grpId; }
    void setGrpId(const QString& id) { m_grpId = id; }
    static QString CustomGroupTitle() { return QStringLiteral("自定义分组"); }
    static QString DeleteGroupText() { return QStringLiteral("删除分组"); }
    // The title row's menu, whose entry asks for the group to be deleted; none for a title that
    // reads "自定义分组". The caller owns the menu.
    QMenu* createTitleMenu(QWidget* pParent);

signals:
    void sigDeleteMyselfGrp(QString strGrpName);

private:
    DrawerTitleCell* m_pTitleCell = nullptr;
    QString m_grpId;
};

// The drawer of one agent PC. Carries the PC's operation signals: the operations connect its
// command client to sigOperateSimus and sigInstallApk4Simus. The PC's argument field (APK path or new
// name) lives in the registry so the command client can read it from its own thread.
class MyDrawerEx : public MyDrawerUI
{
    Q_OBJECT
public:
    MyDrawerEx(std::shared_ptr<AgentRegistry> registry, const QString& pcName, const QString& nickName,
               const QString& ipAddr, QWidget* parent = nullptr);

    QString pcName() const { return m_pcName; }
    QString ipAddr() const { return m_ipAddr; }
    // Where operations connect: the announced address, or where the replies come from when the
    // announced one cannot be used.
    QString connectAddress() const;
    AgentRegistry* registry() const { return m_pRegistry.get(); }
    QString argument() const;
    void setArgument(const QString& argument);

    MyDrawerCell* cell(const QString& memuIdx) const { return m_cells.value(memuIdx); }
    QList<MyDrawerCell*> cells() const;
    MyDrawerCell* addCell(const struSimuRow& row);
    void removeCell(const QString& memuIdx);
    void setNickName(const QString& nick);
    void setOnlineLabel(const QString& label);
    void setIpAddr(const QString& ipAddr);
    // The PC as the registry has it: its label, its rows greyed while it is offline, and the row's
    // tip naming the PC, its address and, offline, when it was last heard.
    void showPresence(const struPcEntry& pc);
    bool isShownOffline() const { return m_bOffline; }
    // Ticks exactly the rows in this state that the filter shows, unticks the others.
    void checkByState(int iState);
    // Shows the registry's state of the emulator on its row.
    void refreshCell(const QString& memuIdx);
    void refreshAllCells();
    // Ticks or unticks every emulator row of the PC (and its own box, without a signal).
    void setAllChecked(bool bChecked);

signals:
    void sigOperateSimus(int iType, QStringList strSimuIndex);
    void sigInstallApk4Simus(QStringList strSimuIndexList, QString strPath);
    void sigDrawerCellMenuTriggered(int index);
    void sigCellCheckChanged(QString pcName, QString memuIdx, bool bChecked);
    // A row asks for its menu at this global position.
    void sigCellMenuRequested(QPoint globalPos);
    // The argument field changed (the command client's slSetOperArgument takes it).
    void sigOperArgumentChanged(QString strArg);

public slots:
    void slReplyResult(CCommResult* pRet);
    // State messages of the PC's command client: with a time (newer wins), or by index alone (always).
    void slChangeStateWithParam(QByteArray aryJson);
    void slChangeStateByIndex(QString strMemuIdx, int iState);

private:
    void slTitleChecked(bool bChecked);

    void refreshToolTip();

    std::shared_ptr<AgentRegistry> m_pRegistry;
    QString m_pcName;
    QString m_ipAddr;
    bool m_bOffline = false;
    qint64 m_lastHeard = 0;
    QHash<QString, MyDrawerCell*> m_cells;
};

// The left device list: group drawers, the PCs inside them, the emulators inside the PCs.
//
// Group edits are requests: a move or a delete is announced (sigMoveDev2NewGrp,
// sigMoveDev2NewGrpNDeleteOldGrp) to whoever keeps the groups, and the list changes only when that
// keeper confirms (slMoveDev2NewGrpFinished, slDeleteGrpFinished, in the order of the requests). A
// device is an agent PC, named by its computer name.
class MyGrpDrawer : public AbsGrpDrawer
{
    Q_OBJECT
public:
    explicit MyGrpDrawer(std::shared_ptr<AgentRegistry> registry, QWidget* parent = nullptr);

    static QString DefaultGroupName() { return QStringLiteral("默认分组"); }
    AgentRegistry* registry() const { return m_pRegistry.get(); }
    MyDrawerUI* defaultGroup() const { return m_pDefaultGroup; }
    MyDrawerEx* findPc(const QString& pcName) const { return m_pcs.value(pcName); }
    QList<MyDrawerEx*> pcDrawers() const { return m_order; }
    // Adds the PC to the default group; the placeholder "无设备" leaves with the first PC.
    void addPc(MyDrawerEx* pPc);
    void showPlaceholder();
    bool hasPlaceholder() const { return m_pPlaceholder != nullptr; }
    // Clears every tick, in the registry and on the rows.
    void clearAllChecks();

    // Group drawers, the default group first. addGroup appends a drawer for a group the list does
    // not show yet (or names the default group's id) and returns the group's drawer.
    QList<MyDrawerUI*> groups() const { return m_groups; }
    MyDrawerUI* findGroup(const QString& name) const;
    MyDrawerUI* addGroup(const QString& id, const QString& name);
    MyDrawerUI* groupOfPc(const QString& pcName) const;
    QStringList pcsOf(const MyDrawerUI* pGroup) const;
    // Shows a PC in the group it is kept in (no request: the keeper already has it there).
    void placePc(const QString& pcName, const QString& grpName);
    // TickByState on every PC of the group.
    void checkGroupByState(const MyDrawerUI* pGroup, int iState);

signals:
    void sigMoveDev2NewGrp(QVector<QString> vstrOldDevNames, QString strOldGrpName, QString strOldGrpId,
                           QVector<QString> vstrNewDevNames, QString strNewGrpName, QString strNewGrpId);
    void sigMoveDev2NewGrpNDeleteOldGrp(QVector<QString> vstrOldDevNames, QString strOldGrpName,
                                        QString strOldGrpId, QVector<QString> vstrNewDevNames,
                                        QString strNewGrpName, QString strNewGrpId);
    void sigGrpDeleted(QString grpDeleted, QString grpDevTo);
    void sigDevMovedToNewGrp(QVector<QString> vstrGrpName, QString strGrpFrom, QString strGrpTo);
    // An entry of an emulator row's menu was picked (after the menu closed).
    void sigDrawerCellMenuTriggered(int index);

public slots:
    // The entries of the rows' menus arrive here queued, so that the operation (and the question it
    // may ask) runs after the menu is gone, with no row's event handler under it: a row removed
    // meanwhile takes nothing down with it.
    void slMenuTriggered(int index);
    // Asks for the PC of the row to be moved into the group of the drawer (slMoveDevsToGrp).
    void slCellMoveToNewGrp(MyDrawerCell* pCell, MyDrawerUI* pDrawerTo);
    // Asks for the PCs to be moved into the group; PCs already there are left out, and when none is
    // left the request is refused with 6 "目标组与源组相同".
    void slMoveDevsToGrp(QStringList pcNames, QString strGrpTo);
    void slMoveDev2NewGrpFinished(CCommResult cRet);
    void slDeleteGrp(QString strGrpName);
    void slDeleteGrpFinished(CCommResult cRet);
    // The PCs whose current address is strIP: iState 0 marks them offline in the registry (their
    // emulators not started); any state shows the registry's label and states on their rows. Only
    // a reply of the PC marks it online again.
    void slDevNetStateChanged(QString strIP, int iState);
    // The emulator menu of a row or a tile, open without a loop of its own; the list outlives every
    // row and tile it is opened from.
    void slPopupCellMenu(QPoint globalPos);

private:
    struct PendingEdit
    {
        QStringList pcs;
        QString from;
        QString to;
    };
    void requestMove(const QStringList& pcs, MyDrawerUI* pFrom, MyDrawerUI* pTo);
    static bool takeConfirmed(QList<PendingEdit>& pending, const CCommResult& cRet, PendingEdit& edit);
    void movePcDrawer(MyDrawerEx* pPc, MyDrawerUI* pTo);
    void showTitleMenu(MyDrawerUI* pGroup, const QPoint& globalPos);

    std::shared_ptr<AgentRegistry> m_pRegistry;
    MyDrawerUI* m_pDefaultGroup = nullptr;
    MyDrawerUI* m_pPlaceholder = nullptr;
    QHash<QString, MyDrawerEx*> m_pcs;
    QList<MyDrawerEx*> m_order;
    QList<MyDrawerUI*> m_groups;
    QHash<QString, MyDrawerUI*> m_groupOfPc;
    QList<PendingEdit> m_pendingMoves;
    QList<PendingEdit> m_pendingDeletes;
};
