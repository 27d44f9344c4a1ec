#pragma once

// The agent's desktop as the remote-desktop tests see it: an X display of the test's own (Xvfb)
// covered by one window that records the clicks, wheel steps and typed text that reach it, and
// whose colour can be changed to see a change travel through the stream.

#include <QColor>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

typedef struct _XDisplay Display;

struct XButtonSeen
{
    bool press = false;
    unsigned int button = 0;
    QPoint root;
};

class XDesk
{
public:
    XDesk();
    ~XDesk();
    XDesk(const XDesk&) = delete;
    XDesk& operator=(const XDesk&) = delete;

    // False with the reason when no display can be had. isolate: move to an Xvfb of this process's
    // own first (see XvfbServer::isolateDisplay).
    bool open(QString& why, bool isolate = true);
    QPoint pointer() const;
    QSize screenSize() const;
    void fill(const QColor& colour);
    // Back on top of windows mapped since (emulator windows of a farm on the same display).
    void raise();
    // Covers the window with `count` rectangles of random colours (busy content for the encoder).
    void scribble(int count, unsigned seed);
    // Takes the X events that arrived (bounded wait for at least `count` new button events).
    bool waitButtons(int count, int timeoutMs);
    bool waitText(const QString& text, int timeoutMs);
    const QList<XButtonSeen>& buttons() const { return m_buttons; }
    QString text() const { return m_text; }
    void clear();
    void pump();

private:
    Display* m_pDisplay = nullptr;
    unsigned long m_window = 0;
    QList<XButtonSeen> m_buttons;
    QString m_text;
};
