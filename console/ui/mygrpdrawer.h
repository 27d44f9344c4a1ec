#pragma once

#include "absdrawer.h"
#include "agentregistry.h"
#include "commresult.h"

#include <QHash>
#include <QMenu>
#include <memory>

class QCheckBox;
class QLabel;

// Context menu of an emulator row: "启动" (0), "关闭" (1), "安装apk" (2), "删除" (3), "重命名" (4).
class MenuOfDrawerCell : public QMenu
{
    Q_OBJECT
public:
    explicit MenuOfDrawerCell(QWidget* parent = nullptr);
    static QStringList entryTexts();

signals:
    void sigDrawerCellMenuTriggered(int index);
};

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

    void setSimuName(const QString& name);
    void setState(int iState, int iDaemonModel);
    void setChecked(bool bChecked); // without emitting sigCheckChanged

signals:
    void sigDrawerCellMenuTriggered(int index);
    void sigCheckChanged(QString memuIdx, bool bChecked);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QString m_memuIdx;
    QString m_simuName;
    int m_iState = -1;
    int m_iDaemonModel = 0;
    QCheckBox* m_pCheck = nullptr;
    QLabel* m_pState = nullptr;
};

// Title row of a device-list drawer: check box, name, and the device state label ("在线"/"离线").
class DrawerTitleCell : public AbsDrawerTitle
{
    Q_OBJECT
public:
    explicit DrawerTitleCell(const QString& name, bool bWithState, QWidget* parent = nullptr);

    void setName(const QString& name);
    QString name() const;
    void setDevState(const QString& text);
    QString devState() const;
    QCheckBox* checkBox() const { return m_pCheck; }
    void setOpened(bool bOpened) override;

private:
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

private:
    DrawerTitleCell* m_pTitleCell = nullptr;
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
    // Shows the registry's state of the emulator on its row.
    void refreshCell(const QString& memuIdx);
    void refreshAllCells();

signals:
    void sigOperateSimus(int iType, QStringList strSimuIndex);
    void sigInstallApk4Simus(QStringList strSimuIndexList, QString strPath);
    void sigDrawerCellMenuTriggered(int index);
    void sigCellCheckChanged(QString pcName, QString memuIdx, bool bChecked);
    // The argument field changed (the command client's slSetOperArgument takes it).
    void sigOperArgumentChanged(QString strArg);

public slots:
    void slReplyResult(CCommResult* pRet);
    // State messages of the PC's command client: with a time (newer wins), or by index alone (always).
    void slChangeStateWithParam(QByteArray aryJson);
    void slChangeStateByIndex(QString strMemuIdx, int iState);

private:
    void slTitleChecked(bool bChecked);

    std::shared_ptr<AgentRegistry> m_pRegistry;
    QString m_pcName;
    QString m_ipAddr;
    QHash<QString, MyDrawerCell*> m_cells;
};

// The left device list: group drawers, the PCs inside them, the emulators inside the PCs.
class MyGrpDrawer : public AbsGrpDrawer
{
    Q_OBJECT
public:
    explicit MyGrpDrawer(std::shared_ptr<AgentRegistry> registry, QWidget* parent = nullptr);

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

private:
    std::shared_ptr<AgentRegistry> m_pRegistry;
    MyDrawerUI* m_pDefaultGroup = nullptr;
    MyDrawerUI* m_pPlaceholder = nullptr;
    QHash<QString, MyDrawerEx*> m_pcs;
    QList<MyDrawerEx*> m_order;
};
