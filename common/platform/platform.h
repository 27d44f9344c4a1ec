#pragma once
// The operating-system layer of Tovia: process control, the emulator install-folder probes, the
// emulator window probe, mouse injection, the UDP listener table, the crash handler and the PC's
// own addresses.
//
// Plain C++17 without Qt, so that the Windows half (win/) builds with MSVC or mingw-w64 on its own.
// Every text on this interface is UTF-8. Nothing throws: failures are plain values (false, empty
// text, not found). Every function may be called from any thread.
//
// Windows uses the commands and calls the product is designed around (taskkill, the registry,
// FindWindowW/IsHungAppWindow, SetCursorPos/mouse_event, GetUdpTable, SetUnhandledExceptionFilter,
// gethostbyname); Linux gives the same observable contract with /proc, kill(2), X11/XTest,
// /proc/net/udp and sigaction.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using Pid = std::int64_t;

// ---------------------------------------------------------------------------------------------
// Processes
//
// An image name is the file name of a program as the user sees it, with its suffix: tool names
// keep ".exe" on every OS ("MEmu.exe", "adb.exe", "ToviaMpeg.exe"). Names compare without regard
// to ASCII case, as on Windows. On Linux a process matches when the base name of its argv[0], of
// its executable, or its /proc comm (when shorter than the kernel's 15-character cut), equals the
// name. Thread ids are not processes.
// ---------------------------------------------------------------------------------------------

// True while the process exists and has not ended (a zombie counts as ended). pid <= 0: false.
bool processAlive(Pid pid);

// Milliseconds since the process was started (Windows: GetProcessTimes; Linux: its start time
// in /proc/<pid>/stat against the boot-time clock). -1 when the process does not exist (a zombie
// counts as ended) or its start time cannot be read.
std::int64_t processAgeMs(Pid pid);

// Kills the process and every process below it (Windows: "taskkill /f /t /pid", then the
// survivors directly; Linux: the tree is frozen with SIGSTOP, then SIGKILLed). Waits at most about
// one second for the process to go. Returns true when the process is gone afterwards (also when it
// did not exist). Refuses pid <= 0, the calling process and, on Linux, pid 1 (returns false).
bool killProcessTree(Pid pid);

// Process ids of every process with that image name, the calling process excluded.
std::vector<Pid> pidsByImageName(const std::string& imageName);

// Process ids of every process whose image name contains `fragment` without regard to ASCII case
// (Linux: the file name of its executable only, not argv[0] or comm). An empty fragment matches
// nothing. The calling process is excluded.
std::vector<Pid> pidsByImageNameContaining(const std::string& fragment);

// Kills every process with that image name together with its children (Windows:
// "taskkill /f /im <name> /t", then the survivors directly). The calling process is never
// killed. Returns how many matching processes were found.
int killByImageName(const std::string& imageName);

// True while the process runs the program at `imagePath` (a full path) under the calling user's
// account; other users' processes never match. Windows: the process's image path, without regard to
// case, '/' and '\\' alike. Linux: its executable, or its argv[0] when that is a full path (a wrapper
// script that hands over to another program with "exec -a \"$0\"" keeps its own path there); both
// sides with links resolved.
bool processRunsImage(Pid pid, const std::string& imagePath);

// True when the file name of `path` equals `imageName` without regard to ASCII case; both '/' and
// '\\' separate folders.
bool imageNameMatches(const std::string& path, const std::string& imageName);

// Asks for a pipe buffer of `bytes` on descriptor fd (Linux: F_SETPIPE_SZ, within the system's
// limit; Windows: nothing), so that a reader of a large output is woken less often. Safe between
// fork and exec. False when the size was not changed.
bool enlargePipe(int fd, int bytes);

// ---------------------------------------------------------------------------------------------
// Emulator install folders (Windows registry; always empty on Linux)
// ---------------------------------------------------------------------------------------------

// The MEmu folder: the first value of the registry key (under HKEY_CLASSES_ROOT)
// "Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache" whose text is "MEmu App Player";
// the value's name is a program path and the result is that program's folder. Empty when not found.
std::string findMEmuDir();

// The LDPlayer folder: the default value of HKEY_CLASSES_ROOT\ldmnq.apk\Shell\Open\Command is a
// command line naming an LDPlayer program; the result is that program's folder. Empty when not
// found.
std::string findLdPlayerDir();

// Folder of the program named at the start of a command line (quoted or not), in the line's own
// separators: "\"C:\\LD\\dnplayer.exe\" \"%1\"" gives "C:\\LD". Empty when there is no folder.
std::string programFolderOfCommandLine(const std::string& commandLine);

// ---------------------------------------------------------------------------------------------
// Top-level windows
// ---------------------------------------------------------------------------------------------

struct WindowProbe
{
    bool found = false;
    Pid pid = 0;       // owning process, 0 when unknown
    bool hung = false; // Windows: IsHungAppWindow; Linux: the owning process is stopped
};

// Looks for a top-level window whose title equals `title` exactly; when `windowClass` is not empty
// the window class must match as well (Windows: the window class name; Linux: either part of
// WM_CLASS). The first match counts. Linux: without a reachable X display the window is not found.
WindowProbe findTopLevelWindow(const std::string& windowClass, const std::string& title);

// ---------------------------------------------------------------------------------------------
// Mouse and keyboard injection (remote desktop replay)
// ---------------------------------------------------------------------------------------------

enum class MouseButtonAction
{
    LeftDown,
    LeftUp,
    RightDown,
    RightUp,
};

// Moves the cursor to screen coordinates. False when there is no desktop to act on.
bool setCursorPos(int x, int y);

// Presses or releases a button where the cursor is. False when there is no desktop to act on.
bool mouseButton(MouseButtonAction action);

// Turns the mouse wheel where the cursor is by `steps` notches: positive away from the user (up),
// negative towards the user. False when there is no desktop to act on.
bool mouseWheel(int steps);

// Presses (down) or releases a key named by its Windows virtual-key code (VK_*, 1..254: letters and
// digits by their ASCII upper-case codes, VK_RETURN, VK_SHIFT, VK_F1, VK_OEM_1, ...). Windows:
// keybd_event; Linux: XTest with the key of the US layout's keysym. False for a code without a key
// here, or when there is no desktop to act on.
bool keyEvent(int virtualKey, bool down);

// ---------------------------------------------------------------------------------------------
// UDP listener table
// ---------------------------------------------------------------------------------------------

// True when a local UDP socket is bound to the port (Windows: GetUdpTable of iphlpapi.dll, loaded
// at run time, IPv4; Linux: /proc/net/udp and /proc/net/udp6). A table that cannot be read
// gives false.
bool isUdpPortListened(std::uint16_t port);

// Reads the datagrams waiting on a non-blocking UDP socket (its native descriptor), at most `max`,
// without waiting: datagram i goes to buffer + i * slotBytes, its size to sizes[i] and its sender's
// IPv4 address (host byte order, 0 for another family) to sources[i]. A datagram longer than a slot
// is cut to it (callers use slots of 64 KB). Linux: recvmmsg, many in one call; Windows: recvfrom,
// one by one. Returns how many were read: 0 when none was waiting or the socket failed.
int readDatagrams(std::intptr_t socket, char* buffer, int slotBytes, int max, int* sizes,
                  std::uint32_t* sources);

// Puts the calling thread behind the process's other threads, for bulk work that must not hold up
// a thread that serves a device (a socket's reader, the GUI) when the CPU is short (Linux: this
// thread's nice value 10 above the process's; Windows: THREAD_PRIORITY_BELOW_NORMAL). False when the
// system refused.
bool setCurrentThreadBackground();

// ---------------------------------------------------------------------------------------------
// Crash handler
// ---------------------------------------------------------------------------------------------

struct CrashInfo
{
    std::uint64_t code = 0;     // Windows: exception code; Linux: signal number
    std::uintptr_t address = 0; // faulting address (Linux: si_addr, 0 when the signal has none)
    const char* line = "";      // one ready-made line for the debug log, no line end
};

// Called once when the process crashes, on the crashing thread. On Linux it runs inside a signal
// handler: it should only do async-signal-safe work (write(2) to an open descriptor); anything
// else is best effort. Texts it gets stay valid for the call only.
using CrashCallback = void (*)(const CrashInfo& info);

// Installs the process-wide crash handler (Windows: SetUnhandledExceptionFilter, the process ends
// after the callback; Linux: sigaction for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, after the
// callback the default action is restored and the signal raised again, so the process still dies
// by it). A null callback only writes the line to standard error. Installing again replaces the
// callback.
void installCrashHandler(CrashCallback callback);

// Title and rich text of the crash message box; code and address as lower-case hexadecimal
// without prefix.
extern const char* const kCrashBoxTitle;
std::string crashBoxText(std::uint64_t code, std::uintptr_t address);

// ---------------------------------------------------------------------------------------------
// This PC on the network
// ---------------------------------------------------------------------------------------------

// The computer's host name, empty when it cannot be read.
std::string hostName();

// A TCP socket listening on every IPv4 address at the port (0: any free one) with a queue of
// `backlog` connections not yet accepted (the system caps it: Linux at net.core.somaxconn), for
// servers that many PCs reach at once: the queue of 50 a framework gives a listening socket drops
// the connections of a burst. Address reuse as servers have it (SO_REUSEADDR on Linux, exclusive
// use on Windows). The descriptor (a SOCKET on Windows), or -1 on failure; the caller owns it.
std::intptr_t listenTcpIPv4(std::uint16_t port, int backlog);
// Closes a socket of listenTcpIPv4 that was not handed on.
void closeSocket(std::intptr_t socket);

// The first IPv4 address that the lookup of the host name returns, dotted; empty on failure.
std::string hostIPv4();

// This PC's IPv4 address facing a peer: the address of the local interface whose subnet holds
// `peerIPv4` (the most specific one when several do); else hostIPv4(); else empty.
std::string localIPv4Facing(const std::string& peerIPv4);

} // namespace platform
