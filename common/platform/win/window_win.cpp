// Window probe and mouse injection on Windows: FindWindowW, IsHungAppWindow, SetCursorPos,
// mouse_event.

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

} // namespace platform
