// Window probe and mouse and keyboard injection on Linux through X11 and XTest.

#include "platform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

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

// One property of a window, at most maxLength 32-bit units of it, as the server gives it in the
// wanted type; its bytes are freed with the object.
struct WindowProperty
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned char* data = nullptr;

    WindowProperty(Display* display, Window window, Atom name, long maxLength, Atom wantedType)
    {
        unsigned long remaining = 0;
        if (XGetWindowProperty(display, window, name, 0, maxLength, False, wantedType, &type, &format, &count,
                               &remaining, &data) != Success) {
            data = nullptr;
        }
    }
    ~WindowProperty()
    {
        if (data) {
            XFree(data);
        }
    }
    WindowProperty(const WindowProperty&) = delete;
    WindowProperty& operator=(const WindowProperty&) = delete;
    bool is(Atom wantedType, int wantedFormat) const
    {
        return data && type == wantedType && format == wantedFormat;
    }
};

std::string windowTitle(Display* display, Window window)
{
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    {
        const WindowProperty name(display, window, XInternAtom(display, "_NET_WM_NAME", False), 4096, utf8);
        if (name.is(utf8, 8)) {
            return std::string(reinterpret_cast<char*>(name.data), name.count);
        }
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
    const WindowProperty pid(display, window, XInternAtom(display, "_NET_WM_PID", False), 1, XA_CARDINAL);
    return pid.is(XA_CARDINAL, 32) && pid.count == 1
               ? static_cast<Pid>(*reinterpret_cast<unsigned long*>(pid.data))
               : 0;
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

// The keysym of a Windows virtual-key code on a US layout; NoSymbol when there is none.
KeySym keysymOfVirtualKey(int vk)
{
    if ((vk >= '0' && vk <= '9')) {
        return static_cast<KeySym>(vk);
    }
    if (vk >= 'A' && vk <= 'Z') {
        return static_cast<KeySym>(vk - 'A' + XK_a);
    }
    if (vk >= 0x70 && vk <= 0x87) { // F1..F24
        return static_cast<KeySym>(XK_F1 + (vk - 0x70));
    }
    if (vk >= 0x60 && vk <= 0x69) { // numeric keypad 0..9
        return static_cast<KeySym>(XK_KP_0 + (vk - 0x60));
    }
    struct Pair
    {
        int vk;
        KeySym sym;
    };
    static const Pair kTable[] = {
        {0x08, XK_BackSpace},   {0x09, XK_Tab},       {0x0D, XK_Return},       {0x10, XK_Shift_L},
        {0x11, XK_Control_L},   {0x12, XK_Alt_L},     {0x13, XK_Pause},        {0x14, XK_Caps_Lock},
        {0x1B, XK_Escape},      {0x20, XK_space},     {0x21, XK_Prior},        {0x22, XK_Next},
        {0x23, XK_End},         {0x24, XK_Home},      {0x25, XK_Left},         {0x26, XK_Up},
        {0x27, XK_Right},       {0x28, XK_Down},      {0x2C, XK_Print},        {0x2D, XK_Insert},
        {0x2E, XK_Delete},      {0x5B, XK_Super_L},   {0x5C, XK_Super_R},      {0x5D, XK_Menu},
        {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add},    {0x6D, XK_KP_Subtract},  {0x6E, XK_KP_Decimal},
        {0x6F, XK_KP_Divide},   {0x90, XK_Num_Lock},  {0x91, XK_Scroll_Lock},  {0xA0, XK_Shift_L},
        {0xA1, XK_Shift_R},     {0xA2, XK_Control_L}, {0xA3, XK_Control_R},    {0xA4, XK_Alt_L},
        {0xA5, XK_Alt_R},       {0xBA, XK_semicolon}, {0xBB, XK_equal},        {0xBC, XK_comma},
        {0xBD, XK_minus},       {0xBE, XK_period},    {0xBF, XK_slash},        {0xC0, XK_grave},
        {0xDB, XK_bracketleft}, {0xDC, XK_backslash}, {0xDD, XK_bracketright}, {0xDE, XK_apostrophe},
    };
    for (const Pair& pair : kTable) {
        if (pair.vk == vk) {
            return pair.sym;
        }
    }
    return NoSymbol;
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

namespace platform {

bool mouseWheel(int steps)
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    Display* display = inputDisplay();
    if (!display) {
        return false;
    }
    // X reports the wheel as buttons 4 (up) and 5 (down), one press and release per notch.
    const unsigned int button = steps > 0 ? Button4 : Button5;
    for (int i = 0; i < (steps > 0 ? steps : -steps); ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    XSync(display, False);
    return true;
}

bool keyEvent(int virtualKey, bool down)
{
    const KeySym sym = keysymOfVirtualKey(virtualKey);
    if (sym == NoSymbol) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_inputMutex);
    Display* display = inputDisplay();
    if (!display) {
        return false;
    }
    const KeyCode code = XKeysymToKeycode(display, sym);
    if (code == 0) {
        return false;
    }
    XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
    XSync(display, False);
    return true;
}

} // namespace platform
