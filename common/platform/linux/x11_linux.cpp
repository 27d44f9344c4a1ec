// Window probe and mouse injection on Linux through X11 and XTest.

#include "platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

namespace platform {
namespace {

// X errors on our own connections (a window that vanished while it was looked at) are ignored;
// errors on anybody else's connection go to the handler that was there before.
std::mutex g_displaysMutex;
std::set<Display*> g_ownDisplays;
XErrorHandler g_previousHandler = nullptr;

int ignoreOwnErrors(Display* display, XErrorEvent* event)
{
    {
        std::lock_guard<std::mutex> lock(g_displaysMutex);
        if (g_ownDisplays.count(display)) {
            return 0;
        }
    }
    return g_previousHandler ? g_previousHandler(display, event) : 0;
}

Display* openDisplay()
{
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        return nullptr;
    }
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        g_previousHandler = XSetErrorHandler(ignoreOwnErrors);
    });
    Display* display = XOpenDisplay(name);
    if (display) {
        std::lock_guard<std::mutex> lock(g_displaysMutex);
        g_ownDisplays.insert(display);
    }
    return display;
}

void closeDisplay(Display* display)
{
    if (!display) {
        return;
    }
    XCloseDisplay(display);
    std::lock_guard<std::mutex> lock(g_displaysMutex);
    g_ownDisplays.erase(display);
}

struct DisplayHandle
{
    Display* display = openDisplay();
    ~DisplayHandle() { closeDisplay(display); }
};

std::string windowTitle(Display* display, Window window)
{
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, netWmName, 0, 4096, False, utf8, &type, &format, &count,
                           &remaining, &data) == Success &&
        data && type == utf8 && format == 8) {
        std::string title(reinterpret_cast<char*>(data), count);
        XFree(data);
        return title;
    }
    if (data) {
        XFree(data);
    }
    // WM_NAME may be Latin-1 or compound text; Xlib converts it to UTF-8.
    XTextProperty property{};
    std::string title;
    if (XGetWMName(display, window, &property) && property.value) {
        char** list = nullptr;
        int n = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &n) >= Success && list && n > 0) {
            title = list[0];
        }
        if (list) {
            XFreeStringList(list);
        }
        XFree(property.value);
    }
    return title;
}

bool classMatches(Display* display, Window window, const std::string& windowClass)
{
    if (windowClass.empty()) {
        return true;
    }
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint)) {
        return false;
    }
    const bool match =
        (hint.res_name && windowClass == hint.res_name) || (hint.res_class && windowClass == hint.res_class);
    XFree(hint.res_name);
    XFree(hint.res_class);
    return match;
}

Pid windowPid(Display* display, Window window)
{
    const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    Pid pid = 0;
    if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &remaining, &data) == Success &&
        data && format == 32 && count == 1) {
        pid = static_cast<Pid>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) {
        XFree(data);
    }
    return pid;
}

// A stopped process (SIGSTOP, or held by a debugger) cannot answer its window: it counts as hung.
bool processStopped(Pid pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(in, line)) {
        return false;
    }
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() &&
           (line[close + 2] == 'T' || line[close + 2] == 't');
}

std::vector<Window> childrenOf(Display* display, Window window)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, window, &root, &parent, &children, &count) && children) {
        result.assign(children, children + count);
        XFree(children);
    }
    return result;
}

bool windowMatches(Display* display, Window window, const std::string& windowClass, const std::string& title)
{
    return windowTitle(display, window) == title && classMatches(display, window, windowClass);
}

// One cached connection for input replay, which may send many events a second.
std::mutex g_inputMutex;
Display* g_inputDisplay = nullptr;

Display* inputDisplay()
{
    if (!g_inputDisplay) {
        g_inputDisplay = openDisplay();
        int eventBase = 0;
        int errorBase = 0;
        int major = 0;
        int minor = 0;
        if (g_inputDisplay && !XTestQueryExtension(g_inputDisplay, &eventBase, &errorBase, &major, &minor)) {
            closeDisplay(g_inputDisplay);
            g_inputDisplay = nullptr;
        }
    }
    return g_inputDisplay;
}

} // namespace

WindowProbe findTopLevelWindow(const std::string& windowClass, const std::string& title)
{
    WindowProbe probe;
    DisplayHandle handle;
    if (!handle.display) {
        return probe;
    }
    Display* display = handle.display;
    // Without a window manager the clients are children of the root; a reparenting window manager
    // puts each one inside a frame, one level further down.
    for (Window top : childrenOf(display, DefaultRootWindow(display))) {
        std::vector<Window> candidates{top};
        for (Window child : childrenOf(display, top)) {
            candidates.push_back(child);
        }
        for (Window window : candidates) {
            if (windowMatches(display, window, windowClass, title)) {
                probe.found = true;
                probe.pid = windowPid(display, window);
                probe.hung = processStopped(probe.pid);
                return probe;
            }
        }
    }
    return probe;
}

bool setCursorPos(int x, int y)
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    Display* display = inputDisplay();
    if (!display) {
        return false;
    }
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    XSync(display, False);
    return true;
}

bool mouseButton(MouseButtonAction action)
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    Display* display = inputDisplay();
    if (!display) {
        return false;
    }
    const bool left = action == MouseButtonAction::LeftDown || action == MouseButtonAction::LeftUp;
    const bool press = action == MouseButtonAction::LeftDown || action == MouseButtonAction::RightDown;
    XTestFakeButtonEvent(display, left ? Button1 : Button3, press ? True : False, CurrentTime);
    XSync(display, False);
    return true;
}

} // namespace platform
