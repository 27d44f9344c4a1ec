#pragma once

#include <QScrollArea>
#include <QWidget>

class DrawerColumnLayout;

// Scroll areas around both sides of the main window.
class MyScrollArea : public QScrollArea
{
    Q_OBJECT
public:
    explicit MyScrollArea(QWidget* parent = nullptr);
};

// Title row of a drawer; a press on it toggles the drawer.
class AbsDrawerTitle : public QWidget
{
    Q_OBJECT
public:
    explicit AbsDrawerTitle(QWidget* parent = nullptr);
    // Told by the drawer when it opens or closes.
    virtual void setOpened(bool bOpened);
    bool isOpened() const { return m_bOpened; }
    // Fills the row with the colour (a palette, not a style sheet: hundreds of rows are made at once).
    void setBackground(const QColor& colour);

signals:
    void sigClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool m_bOpened = true;
};

// Row base of the drawers.
class AbsDrawerCell : public QWidget
{
    Q_OBJECT
public:
    explicit AbsDrawerCell(QWidget* parent = nullptr);
};

// One collapsible drawer: a title row over a body. A closed drawer keeps only its title row.
class AbsDrawer : public QWidget
{
    Q_OBJECT
public:
    explicit AbsDrawer(QWidget* parent = nullptr);

    AbsDrawerTitle* title() const { return m_pTitle; }
    QWidget* body() const { return m_pBody; }
    bool isOpened() const { return m_bOpened; }

signals:
    void sigSizeChanged(QSize szNew, QSize szOld);

public slots:
    void slTitleClicked();

protected:
    // Subclasses call this once from their constructor with their title row.
    void setTitle(AbsDrawerTitle* pTitle);

private:
    AbsDrawerTitle* m_pTitle = nullptr;
    QWidget* m_pBody = nullptr;
    DrawerColumnLayout* m_pLayout = nullptr;
    bool m_bOpened = true;
    int m_iOpenHeight = 0;
};

// Vertical container of drawers, each at the height it needs; re-sizes itself when one of them opens
// or closes.
class AbsGrpDrawer : public QWidget
{
    Q_OBJECT
public:
    explicit AbsGrpDrawer(QWidget* parent = nullptr);

    // Appends a drawer at the bottom.
    void AddNewDrawer(AbsDrawer* pDrawer);
    void RemoveDrawer(AbsDrawer* pDrawer);
    // Lays the drawers out in this order (drawers not named keep their place after them).
    void SetDrawerOrder(const QList<AbsDrawer*>& order);
    QList<AbsDrawer*> drawers() const { return m_drawers; }

public slots:
    void slChildDrawerSizeChanged(QSize szNew, QSize szOld);

private:
    DrawerColumnLayout* m_pLayout = nullptr;
    QList<AbsDrawer*> m_drawers;
};
