#pragma once

#include <QMenu>
#include <QStringList>

class DevGroupStore;
class OpsDialogs;

// The group menu of agent PCs: "新建分组" creates a group and moves the PCs into it, "移动到" moves
// them into an existing group. Every change goes through the group store, which keeps it; a refusal
// is shown with the result box.
class DevGroupMenu : public QMenu
{
    Q_OBJECT
public:
    DevGroupMenu(DevGroupStore* pStore, OpsDialogs& dialogs, const QStringList& devices,
                 QWidget* pParent = nullptr);

    static QString NewGroupText() { return QStringLiteral("新建分组"); }
    static QString MoveToText() { return QStringLiteral("移动到"); }

private:
    void CreateAndMove();
    void MoveTo(const QString& group);

    DevGroupStore* m_pStore;
    OpsDialogs& m_dialogs;
    QStringList m_devices;
};
