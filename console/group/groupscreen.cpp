#include "groupscreen.h"

#include "groupinput.h"

#include <QKeyEvent>
#include <QPainter>
#include <QTimer>

GroupScreen::GroupScreen(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(180, 320);
    m_pTextTimer = new QTimer(this);
    m_pTextTimer->setSingleShot(true);
    m_pTextTimer->setInterval(kTextPauseMs);
    connect(m_pTextTimer, &QTimer::timeout, this, &GroupScreen::flushText);
}

void GroupScreen::setPicture(const QImage& picture)
{
    m_picture = picture;
    m_bNewPicture = true;
    update();
}

void GroupScreen::setMessage(const QString& text)
{
    if (m_message == text)
        return;
    m_message = text;
    update();
}

void GroupScreen::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    const QRectF shown = GroupInput::shownRect(size(), m_picture.size());
    if (!shown.isEmpty()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(shown, m_picture);
    }
    if (!m_message.isEmpty()) {
        const QRect box = rect().adjusted(10, height() / 2 - 30, -10, -(height() / 2 - 30));
        p.fillRect(box, QColor(0, 0, 0, 170));
        p.setPen(Qt::white);
        p.drawText(box, Qt::AlignCenter | Qt::TextWordWrap, m_message);
    }
    if (m_bNewPicture && !m_picture.isNull()) {
        m_bNewPicture = false;
        emit sigPictureShown(++m_shown);
    }
}

void GroupScreen::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton && !m_picture.isNull()) {
        flushText();
        emit sigInput(GroupInputEvent::key(GroupInput::kKeyBack));
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    setFocus(Qt::MouseFocusReason);
    m_bPressed = true;
    m_pressAt = event->localPos();
    m_pressTime.start();
}

void GroupScreen::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_bPressed)
        return;
    m_bPressed = false;
    const auto from = GroupInput::fractionOf(m_pressAt, size(), m_picture.size());
    const auto to = GroupInput::fractionOf(event->localPos(), size(), m_picture.size());
    if (!from || !to)
        return;
    flushText();
    const int ms = int(qBound<qint64>(0, m_pressTime.elapsed(), GroupInput::kMaxSwipeMs));
    const bool still = (event->localPos() - m_pressAt).manhattanLength() <= GroupInput::kTapSlopPx;
    if (still && ms < GroupInput::kLongPressMs) {
        emit sigInput(GroupInputEvent::tap(from->x(), from->y()));
        return;
    }
    // A press held still is a swipe that stays where it began: the phone's long press.
    const QPointF end = still ? *from : *to;
    emit sigInput(GroupInputEvent::swipe(from->x(), from->y(), end.x(), end.y(), ms));
}

void GroupScreen::wheelEvent(QWheelEvent* event)
{
    event->accept();
    if (m_picture.isNull())
        return;
    m_wheelRest += event->angleDelta();
    const int dx = GroupInput::rollSteps(-m_wheelRest.x()); // right is positive on both sides
    const int dy = GroupInput::rollSteps(m_wheelRest.y());
    if (dx == 0 && dy == 0)
        return;
    m_wheelRest -= QPoint(dx * 120, -dy * 120);
    flushText();
    emit sigInput(GroupInputEvent::roll(dx, dy));
}

void GroupScreen::keyPressEvent(QKeyEvent* event)
{
    event->accept();
    const int code = GroupInput::androidKeyCode(event->key());
    const bool chord = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (code >= 0 && !chord) {
        flushText();
        emit sigInput(GroupInputEvent::key(code));
        return;
    }
    const QString text = event->text();
    if (chord || text.isEmpty() || !text.at(0).isPrint())
        return;
    typed(text);
}

void GroupScreen::inputMethodEvent(QInputMethodEvent* event)
{
    event->accept();
    if (event->commitString().isEmpty())
        return;
    typed(event->commitString());
    flushText();
}

QVariant GroupScreen::inputMethodQuery(Qt::InputMethodQuery query) const
{
    if (query == Qt::ImEnabled)
        return true;
    return QWidget::inputMethodQuery(query);
}

bool GroupScreen::focusNextPrevChild(bool)
{
    return false; // Tab is a key of the emulators
}

void GroupScreen::typed(const QString& text)
{
    for (const QChar c : text) {
        m_text.append(c);
        if (m_text.size() >= GroupControl::kMaxTextChars)
            flushText();
    }
    if (!m_text.isEmpty())
        m_pTextTimer->start();
}

void GroupScreen::flushText()
{
    m_pTextTimer->stop();
    if (m_text.isEmpty())
        return;
    const QString text = m_text;
    m_text.clear();
    emit sigInput(GroupInputEvent::typed(text));
}
