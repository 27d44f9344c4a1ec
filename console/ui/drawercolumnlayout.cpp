#include "drawercolumnlayout.h"

#include <QWidget>

DrawerColumnLayout::DrawerColumnLayout(QWidget* parent, int spacing) : QLayout(parent)
{
    setSpacing(spacing);
    setContentsMargins(0, 0, 0, 0);
}

DrawerColumnLayout::~DrawerColumnLayout()
{
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

void DrawerColumnLayout::insertWidget(int index, QWidget* pWidget)
{
    addChildWidget(pWidget);
    auto* item = new QWidgetItemV2(pWidget);
    if (index < 0 || index > m_items.size())
        m_items.append(item);
    else
        m_items.insert(index, item);
    invalidate();
}

void DrawerColumnLayout::addItem(QLayoutItem* item)
{
    m_items.append(item);
    invalidate();
}

QLayoutItem* DrawerColumnLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    invalidate();
    return m_items.takeAt(index);
}

// Hidden items count as well: an item shown later must not leave a stale answer here.
bool DrawerColumnLayout::hasHeightForWidth() const
{
    if (m_hasHfw < 0) {
        m_hasHfw = 0;
        for (QLayoutItem* item : m_items) {
            if (item->widget() ? item->widget()->hasHeightForWidth() : item->hasHeightForWidth()) {
                m_hasHfw = 1;
                break;
            }
        }
    }
    return m_hasHfw == 1;
}

int DrawerColumnLayout::heightForWidth(int width) const
{
    if (width != m_hfwWidth) {
        const QMargins m = contentsMargins();
        m_hfwHeight = doLayout(QRect(0, 0, width, 0).adjusted(m.left(), 0, -m.right(), 0), false) + m.top() +
                      m.bottom();
        m_hfwWidth = width;
    }
    return m_hfwHeight;
}

void DrawerColumnLayout::invalidate()
{
    m_hfwWidth = -1;
    m_hasHfw = -1;
    QLayout::invalidate();
}

int DrawerColumnLayout::itemHeight(QLayoutItem* item, int width)
{
    const bool hfw = item->widget() ? item->widget()->hasHeightForWidth() : item->hasHeightForWidth();
    const int wanted = hfw ? item->heightForWidth(width) : item->sizeHint().height();
    return qBound(item->minimumSize().height(), wanted, item->maximumSize().height());
}

// The shown items stacked: the widest of their sizes, and their heights added up with the spacing.
QSize DrawerColumnLayout::stackedSize(QSize (*sizeOf)(const QLayoutItem*)) const
{
    int width = 0;
    int height = 0;
    int shown = 0;
    for (const QLayoutItem* item : m_items) {
        if (item->isEmpty())
            continue;
        const QSize size = sizeOf(item);
        width = qMax(width, size.width());
        height += size.height();
        ++shown;
    }
    const QMargins m = contentsMargins();
    return QSize(width + m.left() + m.right(),
                 height + qMax(0, shown - 1) * spacing() + m.top() + m.bottom());
}

// The items' minimum heights add up: a scroll area around the column makes room for all of them.
QSize DrawerColumnLayout::minimumSize() const
{
    return stackedSize([](const QLayoutItem* item) { return item->minimumSize(); });
}

QSize DrawerColumnLayout::sizeHint() const
{
    return stackedSize([](const QLayoutItem* item) {
        return item->sizeHint().expandedTo(item->minimumSize()).boundedTo(item->maximumSize());
    });
}

void DrawerColumnLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    doLayout(contentsRect(), true);
}

int DrawerColumnLayout::doLayout(const QRect& area, bool apply) const
{
    int y = area.y();
    int shown = 0;
    for (QLayoutItem* item : m_items) {
        if (item->isEmpty())
            continue;
        if (shown++ > 0)
            y += spacing();
        const int width = qBound(item->minimumSize().width(), area.width(), item->maximumSize().width());
        const int height = itemHeight(item, width);
        if (apply)
            item->setGeometry(QRect(area.x(), y, width, height));
        y += height;
    }
    return y - area.y();
}
