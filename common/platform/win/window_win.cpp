// Window probe and mouse and keyboard injection on Windows: FindWindowW, IsHungAppWindow,
// SetCursorPos, mouse_event, keybd_event.

#include "platform.h"
#include "wintext.h"

#include <windows.h>

namespace platform {

WindowProbe findTopLevelWindow(const std::string& windowClass, const std::string& title)
{
    WindowProbe probe;
    const std::wstring wideClass = win::toWide(windowClass);
    const std::wstring wideTitle = win::toWide(title);
    HWND window = FindWindowW(windowClass.empty() ? nullptr : wideClass.c_str(), wideTitle.c_str());
    if (!window) {
        return probe;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    probe.found = true;
    probe.pid = static_cast<Pid>(pid);
    probe.hung = IsHungAppWindow(window) != FALSE;
    return probe;
}

bool setCursorPos(int x, int y)
{
    return SetCursorPos(x, y) != FALSE;
}

bool mouseButton(MouseButtonAction action)
{
    // Absolute flag plus the button flag; position, wheel and extra information are 0, so the
    // click happens where the cursor is.
    DWORD flags = MOUSEEVENTF_ABSOLUTE;
    switch (action) {
    case MouseButtonAction::LeftDown:
        flags |= MOUSEEVENTF_LEFTDOWN;
        break;
    case MouseButtonAction::LeftUp:
        flags |= MOUSEEVENTF_LEFTUP;
        break;
    case MouseButtonAction::RightDown:
        flags |= MOUSEEVENTF_RIGHTDOWN;
        break;
    case MouseButtonAction::RightUp:
        flags |= MOUSEEVENTF_RIGHTUP;
        break;
    }
    mouse_event(flags, 0, 0, 0, 0);
    return true;
}

bool mouseWheel(int steps)
{
    mouse_event(MOUSEEVENTF_WHEEL, 0, 0, static_cast<DWORD>(steps * WHEEL_DELTA), 0);
    return true;
}

namespace {

// Keys whose scan code carries the extended prefix (right-hand block, arrows, keypad divide).
bool isExtendedKey(int vk)
{
    switch (vk) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
    case VK_DIVIDE:
    case VK_RCONTROL:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
    case VK_NUMLOCK:
    case VK_SNAPSHOT:
        return true;
    default:
        return false;
    }
}

} // namespace

bool keyEvent(int virtualKey, bool down)
{
    if (virtualKey <= 0 || virtualKey >= 0xFF) {
        return false;
    }
    const BYTE scan = static_cast<BYTE>(MapVirtualKeyW(static_cast<UINT>(virtualKey), MAPVK_VK_TO_VSC));
    DWORD flags = down ? 0 : KEYEVENTF_KEYUP;
    if (isExtendedKey(virtualKey)) {
        flags |= KEYEVENTF_EXTENDEDKEY;
    }
    keybd_event(static_cast<BYTE>(virtualKey), scan, flags, 0);
    return true;
}

} // namespace platform
