#pragma once

#include <QLayout>
#include <QList>

// Stacks its items top to bottom, each at the height it asks for (its height for the width when it
// has one, else its size hint, within its minimum and maximum) and at the full width; hidden items
// take no place. It never squeezes or stretches an item to fill the rectangle it is given: what is
// left stays empty below the last item, and the height it needs is the sum.
//
// The drawers are stacked by this layout at every level of the device list and the tile wall. With
// a box layout, a drawer appended to a container that has not grown yet squeezed every drawer above
// it into the old height, and the next pass grew them back: each PC first heard moved and resized
// every row and tile already shown. Here an appended item changes no other item's geometry.
class DrawerColumnLayout : public QLayout
{
    Q_OBJECT
public:
    explicit DrawerColumnLayout(QWidget* parent = nullptr, int spacing = 0);
    ~DrawerColumnLayout() override;

    // Inserts the widget before position `index` (appends when index is out of range).
    void insertWidget(int index, QWidget* pWidget);

    void addItem(QLayoutItem* item) override;
    int count() const override { return m_items.size(); }
    QLayoutItem* itemAt(int index) const override { return m_items.value(index); }
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;
    void invalidate() override;

private:
    QSize stackedSize(QSize (*sizeOf)(const QLayoutItem*)) const;
    // The height the item takes at this width.
    static int itemHeight(QLayoutItem* item, int width);
    // Lays the items out in the area (apply) or only sums their heights; the height needed.
    int doLayout(const QRect& area, bool apply) const;

    QList<QLayoutItem*> m_items;
    mutable int m_hfwWidth = -1; // the last height asked for a width, kept until an item changes
    mutable int m_hfwHeight = 0;
    mutable int m_hasHfw = -1; // -1: not known since the last change
};
