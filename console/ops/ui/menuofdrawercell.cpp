#include "menuofdrawercell.h"

#include "grpdraweroper.h"

MenuOfDrawerCell::MenuOfDrawerCell(QWidget* pParent) : QMenu(pParent)
{
    const QStringList texts = GroupOperDispatch::menuTexts();
    for (int i = 0; i < texts.size(); ++i)
        connect(addAction(texts.at(i)), &QAction::triggered, this, [this, i] { emit sigMenuTriggered(i); });
}
