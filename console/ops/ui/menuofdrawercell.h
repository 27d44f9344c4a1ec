#pragma once

#include <QMenu>

// The context menu of an emulator row: "启动", "关闭", "安装apk", "删除", "重命名"; picking an entry
// emits its index (0-4).
class MenuOfDrawerCell : public QMenu
{
    Q_OBJECT
public:
    explicit MenuOfDrawerCell(QWidget* pParent = nullptr);

signals:
    void sigMenuTriggered(int index);
};
