#include "devgroupmenu.h"

#include "devgroupstore.h"
#include "mygrpdrawer.h"
#include "opsdialogs.h"

DevGroupMenu::DevGroupMenu(DevGroupStore* pStore, MyGrpDrawer* pList, OpsDialogs& dialogs,
                           const QStringList& devices, QWidget* pParent)
    : QMenu(pParent), m_pStore(pStore), m_pList(pList), m_dialogs(dialogs), m_devices(devices)
{
    connect(addAction(NewGroupText()), &QAction::triggered, this, &DevGroupMenu::CreateAndMove);
    QMenu* pMoveTo = addMenu(MoveToText());
    const QString current = devices.size() == 1 ? pStore->GroupOf(devices.first()) : QString();
    for (const DevGroupStore::Group& g : pStore->Groups()) {
        QAction* pAction = pMoveTo->addAction(g.name);
        pAction->setEnabled(g.name != current);
        connect(pAction, &QAction::triggered, this, [this, name = g.name] { MoveTo(name); });
    }
}

void DevGroupMenu::CreateAndMove()
{
    QString name;
    if (!m_dialogs.askText(NewGroupText(), QStringLiteral("请输入分组名字"), name))
        return;
    const CCommResult r = m_pStore->CreateGroup(name);
    if (!r.ok())
        return m_dialogs.showResult(r);
    MoveTo(name.trimmed());
}

void DevGroupMenu::MoveTo(const QString& group)
{
    m_pList->slMoveDevsToGrp(m_devices, group);
}
