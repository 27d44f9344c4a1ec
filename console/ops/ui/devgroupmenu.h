#pragma once

#include <QMenu>
#include <QStringList>

class DevGroupStore;
class MyGrpDrawer;
class OpsDialogs;

// The group menu of agent PCs: "新建分组" creates a group and moves the PCs into it, "移动到" moves
// them into an existing group. A new group is made by the group store; a move is the device list's
// request, which the store confirms. A refusal is shown with the result box.
class DevGroupMenu : public QMenu
{
    Q_OBJECT
public:
    DevGroupMenu(DevGroupStore* pStore, MyGrpDrawer* pList, OpsDialogs& dialogs, const QStringList& devices,
                 QWidget* pParent = nullptr);

    static QString NewGroupText() { return QStringLiteral("新建分组"); }
    static QString MoveToText() { return QStringLiteral("移动到"); }

private:
    void CreateAndMove();
    void MoveTo(const QString& group);

    DevGroupStore* m_pStore;
    MyGrpDrawer* m_pList;
    OpsDialogs& m_dialogs;
    QStringList m_devices;
};
