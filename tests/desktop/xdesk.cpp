#include "xdesk.h"

#include "farmfixture.h"

#include <QDeadlineTimer>
#include <QSize>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

XDesk::XDesk() = default;

XDesk::~XDesk()
{
    if (m_pDisplay)
        XCloseDisplay(m_pDisplay);
}

bool XDesk::open(QString& why, bool isolate)
{
    // Pointer and keyboard are driven: other tests' windows must not be in the way.
    if (isolate)
        XvfbServer::isolateDisplay();
    const QByteArray name = qgetenv("DISPLAY");
    m_pDisplay = name.isEmpty() ? nullptr : XOpenDisplay(name.constData());
    if (!m_pDisplay) {
        why = QStringLiteral("no X display ($DISPLAY unset or unreachable); the test command runs these "
                             "under xvfb-run");
        return false;
    }
    const int screen = DefaultScreen(m_pDisplay);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(m_pDisplay, screen);
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask;
    m_window = XCreateWindow(m_pDisplay, DefaultRootWindow(m_pDisplay), 0, 0,
                             unsigned(DisplayWidth(m_pDisplay, screen)),
                             unsigned(DisplayHeight(m_pDisplay, screen)), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(m_pDisplay, m_window);
    XSync(m_pDisplay, False);
    XSetInputFocus(m_pDisplay, m_window, RevertToParent, CurrentTime);
    XSync(m_pDisplay, False);
    return true;
}

void XDesk::raise()
{
    XRaiseWindow(m_pDisplay, m_window);
    XSetInputFocus(m_pDisplay, m_window, RevertToParent, CurrentTime);
    XSync(m_pDisplay, False);
}

QPoint XDesk::pointer() const
{
    Window root = 0;
    Window child = 0;
    int rootX = -1;
    int rootY = -1;
    int winX = 0;
    int winY = 0;
    unsigned int mask = 0;
    XQueryPointer(m_pDisplay, DefaultRootWindow(m_pDisplay), &root, &child, &rootX, &rootY, &winX, &winY,
                  &mask);
    return QPoint(rootX, rootY);
}

QSize XDesk::screenSize() const
{
    const int screen = DefaultScreen(m_pDisplay);
    return QSize(DisplayWidth(m_pDisplay, screen), DisplayHeight(m_pDisplay, screen));
}

void XDesk::fill(const QColor& colour)
{
    XSetWindowBackground(m_pDisplay, m_window, colour.rgb() & 0xFFFFFF);
    XClearWindow(m_pDisplay, m_window);
    XSync(m_pDisplay, False);
}

void XDesk::scribble(int count, unsigned seed)
{
    const QSize size = screenSize();
    GC gc = XCreateGC(m_pDisplay, m_window, 0, nullptr);
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        XSetForeground(m_pDisplay, gc, seed & 0xFFFFFF);
        XFillRectangle(m_pDisplay, m_window, gc, int((seed >> 8) % unsigned(size.width())),
                       int((seed >> 4) % unsigned(size.height())), 40 + (seed >> 20) % 200,
                       30 + (seed >> 24) % 150);
    }
    XFreeGC(m_pDisplay, gc);
    XSync(m_pDisplay, False);
}

void XDesk::pump()
{
    while (XPending(m_pDisplay)) {
        XEvent event;
        XNextEvent(m_pDisplay, &event);
        if (event.type == ButtonPress || event.type == ButtonRelease) {
            m_buttons.append({event.type == ButtonPress, event.xbutton.button,
                              QPoint(event.xbutton.x_root, event.xbutton.y_root)});
        } else if (event.type == KeyPress) {
            char text[16] = {};
            KeySym sym = 0;
            const int n = XLookupString(&event.xkey, text, sizeof text, &sym, nullptr);
            m_text += QString::fromLatin1(text, n);
        }
    }
}

bool XDesk::waitButtons(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (pump(); m_buttons.size() < count && !deadline.hasExpired(); pump())
        QTest::qWait(10);
    return m_buttons.size() >= count;
}

bool XDesk::waitText(const QString& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (pump(); !m_text.contains(text) && !deadline.hasExpired(); pump())
        QTest::qWait(10);
    return m_text.contains(text);
}

void XDesk::clear()
{
    pump();
    m_buttons.clear();
    m_text.clear();
}
