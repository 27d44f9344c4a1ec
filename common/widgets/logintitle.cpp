#include "logintitle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

namespace {
QPushButton* titleButton(const QString& text, QWidget* parent)
{
    auto* btn = new QPushButton(text, parent);
    btn->setFixedSize(30, 30);
    btn->setFocusPolicy(Qt::NoFocus);
    btn->setStyleSheet(
        QStringLiteral("QPushButton{color:white;background:transparent;border:none;font-size:16px;}"
                       "QPushButton:hover{background-color:rgba(255,255,255,60);}"));
    return btn;
}
} // namespace

LoginTitle::LoginTitle(QWidget* parent)
    : QWidget(parent), m_pLblTitle(new QLabel(this)), m_pBtnMin(titleButton(QStringLiteral("—"), this)),
      m_pBtnClose(titleButton(QStringLiteral("×"), this))
{
    setFixedHeight(30);
    setTextColor(QStringLiteral("#1e3c64"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pLblTitle, 1);
    layout->addWidget(m_pBtnMin);
    layout->addWidget(m_pBtnClose);
    connect(m_pBtnMin, &QPushButton::clicked, this, &LoginTitle::sigMinimize);
    connect(m_pBtnClose, &QPushButton::clicked, this, &LoginTitle::sigClose);
}

void LoginTitle::setTitle(const QString& title)
{
    m_pLblTitle->setText(title);
}

void LoginTitle::setTextColor(const QString& color)
{
    m_pLblTitle->setStyleSheet(QStringLiteral("QLabel{color:%1;padding-left:8px;}").arg(color));
    const QString btnStyle =
        QStringLiteral("QPushButton{color:%1;background:transparent;border:none;font-size:16px;}"
                       "QPushButton:hover{background-color:rgba(128,128,128,60);}")
            .arg(color);
    m_pBtnMin->setStyleSheet(btnStyle);
    m_pBtnClose->setStyleSheet(btnStyle);
}

void LoginTitle::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragOffset = event->globalPos() - window()->frameGeometry().topLeft();
    }
    QWidget::mousePressEvent(event);
}

void LoginTitle::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton) {
        window()->move(event->globalPos() - m_dragOffset);
    }
    QWidget::mouseMoveEvent(event);
}
