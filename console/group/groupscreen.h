#pragma once

#include "groupcontrol.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointF>
#include <QWidget>

class QTimer;

// The live screen of a group run's lead: the newest picture, scaled with its aspect kept, and what
// the user does on it as group events in fractions of the picture. A click is a tap, a drag a swipe
// with its duration, a press held still a long press (a swipe that stays), the right button Back,
// the wheel a roll; Back, Home, Enter, Backspace, the arrows and a few more keys
// are key events (Esc is Back), other typed characters become text events (gathered while typing
// goes on, at most 500 characters each), and so does text from an input method. No key closes the
// window: the screen takes every key it is given, Tab included.
class GroupScreen : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kTextPauseMs = 300; // typing that pauses this long is sent

    explicit GroupScreen(QWidget* parent = nullptr);

    void setPicture(const QImage& picture);
    QImage picture() const { return m_picture; }
    // Shown over the screen (empty: nothing).
    void setMessage(const QString& text);
    QString message() const { return m_message; }
    int shownCount() const { return m_shown; }
    // The text typed and not yet sent, sent now.
    void flushText();

signals:
    void sigInput(GroupInputEvent event);
    // A new picture was painted (the count so far).
    void sigPictureShown(int iShown);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    bool focusNextPrevChild(bool next) override;

private:
    void typed(const QString& text);

    QImage m_picture;
    QString m_message;
    bool m_bNewPicture = false;
    int m_shown = 0;
    bool m_bPressed = false;
    QPointF m_pressAt;
    QElapsedTimer m_pressTime;
    QPoint m_wheelRest;
    QString m_text;
    QTimer* m_pTextTimer = nullptr;
};
