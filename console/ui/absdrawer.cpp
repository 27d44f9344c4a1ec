#include "absdrawer.h"

#include "drawercolumnlayout.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPalette>
#include <QSet>

MyScrollArea::MyScrollArea(QWidget* parent) : QScrollArea(parent)
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

AbsDrawerTitle::AbsDrawerTitle(QWidget* parent) : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void AbsDrawerTitle::setOpened(bool bOpened)
{
    m_bOpened = bOpened;
}

void AbsDrawerTitle::setBackground(const QColor& colour)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, colour);
    setPalette(p);
    setAutoFillBackground(true);
}

void AbsDrawerTitle::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit sigClicked();
    QWidget::mousePressEvent(event);
}

AbsDrawerCell::AbsDrawerCell(QWidget* parent) : QWidget(parent) {}

AbsDrawer::AbsDrawer(QWidget* parent) : QWidget(parent)
{
    m_pLayout = new DrawerColumnLayout(this);
    m_pBody = new QWidget(this);
    m_pLayout->addWidget(m_pBody);
}

void AbsDrawer::setTitle(AbsDrawerTitle* pTitle)
{
    m_pTitle = pTitle;
    m_pLayout->insertWidget(0, pTitle);
    if (!connect(pTitle, &AbsDrawerTitle::sigClicked, this, &AbsDrawer::slTitleClicked))
        qWarning("connect AbsDrawerTitle::sigClicked AbsDrawer::slTitleClicked err");
}

void AbsDrawer::slTitleClicked()
{
    const QSize old = size();
    m_bOpened = !m_bOpened;
    if (!m_bOpened) {
        m_iOpenHeight = height();
        m_pBody->hide();
        setFixedHeight(m_pTitle ? m_pTitle->sizeHint().height() : 0);
    } else {
        setMinimumHeight(0);
        setMaximumHeight(QWIDGETSIZE_MAX);
        m_pBody->show();
        if (m_iOpenHeight > 0)
            resize(width(), m_iOpenHeight);
    }
    if (m_pTitle)
        m_pTitle->setOpened(m_bOpened);
    emit sigSizeChanged(QSize(width(), m_bOpened ? sizeHint().height() : height()), old);
}

AbsGrpDrawer::AbsGrpDrawer(QWidget* parent) : QWidget(parent)
{
    m_pLayout = new DrawerColumnLayout(this, 2);
}

void AbsGrpDrawer::AddNewDrawer(AbsDrawer* pDrawer)
{
    m_pLayout->addWidget(pDrawer);
    m_drawers.append(pDrawer);
    if (!connect(pDrawer, &AbsDrawer::sigSizeChanged, this, &AbsGrpDrawer::slChildDrawerSizeChanged))
        qWarning("connect AbsDrawer::sigSizeChanged AbsGrpDrawer::slChildDrawerSizeChanged err");
    updateGeometry();
}

void AbsGrpDrawer::RemoveDrawer(AbsDrawer* pDrawer)
{
    m_drawers.removeAll(pDrawer);
    m_pLayout->removeWidget(pDrawer);
    updateGeometry();
}

void AbsGrpDrawer::SetDrawerOrder(const QList<AbsDrawer*>& order)
{
    const QSet<AbsDrawer*> known(m_drawers.begin(), m_drawers.end());
    QSet<AbsDrawer*> placed;
    QList<AbsDrawer*> drawers;
    for (AbsDrawer* d : order) {
        if (known.contains(d) && !placed.contains(d)) {
            drawers.append(d);
            placed.insert(d);
        }
    }
    for (AbsDrawer* d : qAsConst(m_drawers)) {
        if (!placed.contains(d))
            drawers.append(d);
    }
    if (drawers == m_drawers)
        return;
    for (int i = 0; i < drawers.size(); ++i) {
        m_pLayout->removeWidget(drawers.at(i));
        m_pLayout->insertWidget(i, drawers.at(i));
    }
    m_drawers = drawers;
    updateGeometry();
}

// The layout sums the drawers' heights; a scroll area around this widget follows its size hint.
void AbsGrpDrawer::slChildDrawerSizeChanged(QSize szNew, QSize szOld)
{
    Q_UNUSED(szNew);
    Q_UNUSED(szOld);
    m_pLayout->invalidate();
    updateGeometry();
}
