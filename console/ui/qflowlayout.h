#pragma once

#include <QLayout>
#include <QList>
#include <QRect>
#include <QSize>

// Places items left to right with the layout's spacing, wrapping to a new row when the next item
// would pass the right edge; the height needed is the bottom of the last row.
class QFlowLayout : public QLayout
{
    Q_OBJECT
public:
    explicit QFlowLayout(QWidget* parent = nullptr, int spacing = 8);
    ~QFlowLayout() override;

    // The item rectangles for a given area (pure: used by the layout and by the benchmarks).
    static QList<QRect> flow(const QRect& area, const QList<QSize>& sizes, int spacing,
                             int* pHeight = nullptr);

    void addItem(QLayoutItem* item) override;
    int count() const override { return m_items.size(); }
    QLayoutItem* itemAt(int index) const override { return m_items.value(index); }
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;
    void invalidate() override;

private:
    int doLayout(const QRect& rect, bool apply) const;

    QList<QLayoutItem*> m_items;
    // The layouts around ask the height for a width many times per pass: the last answer is kept
    // until an item comes, goes or changes.
    mutable int m_hfwWidth = -1;
    mutable int m_hfwHeight = 0;
};
