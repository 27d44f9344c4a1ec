#include "qflowlayout.h"

#include <QWidget>

QFlowLayout::QFlowLayout(QWidget* parent, int spacing) : QLayout(parent)
{
    setSpacing(spacing);
    setContentsMargins(spacing, spacing, spacing, spacing);
}

QFlowLayout::~QFlowLayout()
{
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

QList<QRect> QFlowLayout::flow(const QRect& area, const QList<QSize>& sizes, int spacing, int* pHeight)
{
    QList<QRect> out;
    int x = area.x();
    int y = area.y();
    int rowHeight = 0;
    for (const QSize& sz : sizes) {
        if (x > area.x() && x + sz.width() > area.right() + 1) {
            x = area.x();
            y += rowHeight + spacing;
            rowHeight = 0;
        }
        out.append(QRect(QPoint(x, y), sz));
        x += sz.width() + spacing;
        rowHeight = qMax(rowHeight, sz.height());
    }
    if (pHeight)
        *pHeight = sizes.isEmpty() ? 0 : y + rowHeight - area.y();
    return out;
}

void QFlowLayout::addItem(QLayoutItem* item)
{
    m_items.append(item);
    invalidate();
}

QLayoutItem* QFlowLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    invalidate();
    return m_items.takeAt(index);
}

int QFlowLayout::heightForWidth(int width) const
{
    if (width != m_hfwWidth) {
        m_hfwHeight = doLayout(QRect(0, 0, width, 0), false);
        m_hfwWidth = width;
    }
    return m_hfwHeight;
}

void QFlowLayout::invalidate()
{
    m_hfwWidth = -1;
    QLayout::invalidate();
}

QSize QFlowLayout::minimumSize() const
{
    QSize size;
    for (const QLayoutItem* item : m_items) {
        if (!item->isEmpty())
            size = size.expandedTo(item->minimumSize());
    }
    const QMargins m = contentsMargins();
    return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize QFlowLayout::sizeHint() const
{
    return minimumSize();
}

void QFlowLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    doLayout(rect, true);
}

int QFlowLayout::doLayout(const QRect& rect, bool apply) const
{
    const QMargins m = contentsMargins();
    const QRect area = rect.adjusted(m.left(), m.top(), -m.right(), -m.bottom());
    // Hidden tiles take no place.
    QList<QLayoutItem*> shown;
    QList<QSize> sizes;
    for (QLayoutItem* item : m_items) {
        if (item->isEmpty())
            continue;
        shown.append(item);
        sizes.append(item->sizeHint());
    }
    int height = 0;
    const QList<QRect> rects = flow(area, sizes, spacing(), &height);
    if (apply) {
        for (int i = 0; i < rects.size(); ++i)
            shown.at(i)->setGeometry(rects.at(i));
    }
    return height + m.top() + m.bottom();
}
