// Checks of the Windows half of the platform layer, built with mingw-w64 and run under wine by
// scripts/wincheck (or on Windows itself). Plain C++, no Qt.
//
//   wintests.exe <expected MEmu folder> <expected LDPlayer folder>   run every check
//   wintests.exe registry <expected MEmu> <expected LDPlayer>       only the registry probes
//   wintests.exe sleep <ms>                                          helper: sleep
//   wintests.exe parent <ms>                                         helper: start "sleep <ms>", sleep
//   wintests.exe crash <file>                                        helper: crash with the handler on

#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int g_failures = 0;
int g_checks = 0;

void check(bool ok, const std::string& what)
{
    ++g_checks;
    if (!ok) {
        ++g_failures;
    }
    std::printf("%s  %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
}

std::wstring ownPath()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return path;
}

// Starts a program with arguments; false when it cannot be started.
bool startProcess(const std::wstring& program, const std::wstring& arguments, PROCESS_INFORMATION& process)
{
    std::wstring line = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    process = PROCESS_INFORMATION{};
    return CreateProcessW(program.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process) != FALSE;
}

// Starts a program with arguments; returns its pid, 0 on failure.
platform::Pid spawn(const std::wstring& program, const std::wstring& arguments)
{
    PROCESS_INFORMATION process{};
    if (!startProcess(program, arguments, process)) {
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

// Runs a program to its end (bounded); returns its exit code, or -1.
long runToEnd(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs)
{
    PROCESS_INFORMATION process{};
    if (!startProcess(program, arguments, process)) {
        return -1;
    }
    long code = -1;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &exitCode)) {
        code = static_cast<long>(exitCode);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

platform::Pid childOf(platform::Pid parent)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        platform::Pid child = 0;
        for (BOOL ok = Process32FirstW(snap, &entry); ok && !child; ok = Process32NextW(snap, &entry)) {
            if (static_cast<platform::Pid>(entry.th32ParentProcessID) == parent) {
                child = entry.th32ProcessID;
            }
        }
        CloseHandle(snap);
        if (child) {
            return child;
        }
        Sleep(50);
    }
    return 0;
}

bool waitGone(platform::Pid pid)
{
    for (int attempt = 0; attempt < 100 && platform::processAlive(pid); ++attempt) {
        Sleep(20);
    }
    return !platform::processAlive(pid);
}

std::string readFile(const std::wstring& path)
{
    std::string content;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return content;
}

std::wstring tempFolder()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, path);
    return path;
}

// ---- helper modes ----

HANDLE g_crashFile = INVALID_HANDLE_VALUE;

void writeCrashLine(const platform::CrashInfo& info)
{
    DWORD written = 0;
    WriteFile(g_crashFile, info.line, static_cast<DWORD>(std::strlen(info.line)), &written, nullptr);
    CloseHandle(g_crashFile);
}

int crashMode(const std::wstring& file)
{
    g_crashFile = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    platform::installCrashHandler(writeCrashLine);
    volatile int* volatile pointer = nullptr;
    *pointer = 1;
    return 0;
}

// ---- checks ----

void checkRegistry(const std::string& memuDir, const std::string& ldDir)
{
    check(platform::findMEmuDir() == memuDir, "MEmu folder from MuiCache: '" + platform::findMEmuDir() + "'");
    check(platform::findLdPlayerDir() == ldDir,
          "LDPlayer folder from ldmnq.apk: '" + platform::findLdPlayerDir() + "'");
}

void checkProcessTree()
{
    const std::wstring self = ownPath();
    const platform::Pid parent = spawn(self, L"parent 60000");
    check(parent > 0, "spawned a process that starts a child");
    const platform::Pid child = childOf(parent);
    check(child > 0, "its child is running");
    check(platform::processAlive(parent) && platform::processAlive(child), "both found alive");
    Sleep(300);
    const std::int64_t age = platform::processAgeMs(parent);
    check(age >= 250 && age < 60000, "age of a process started 300 ms ago: " + std::to_string(age));
    check(platform::processAgeMs(child) <= age, "its child is no older");
    check(platform::killProcessTree(parent), "kill tree reports the process gone");
    check(!platform::processAlive(parent), "process dead after kill tree");
    check(waitGone(child), "child dead after kill tree");
    check(platform::killProcessTree(parent), "kill of a gone process reports it gone");
    check(platform::processAgeMs(parent) == -1 && platform::processAgeMs(0) == -1,
          "a gone process and pid 0 have no age");
    check(!platform::killProcessTree(0) && !platform::killProcessTree(GetCurrentProcessId()),
          "refuses pid 0 and itself");
    check(!platform::processAlive(0) && !platform::processAlive(-1), "pid 0 and -1 are not alive");
}

void checkImageName()
{
    const std::wstring copy = tempFolder() + L"tovia_probe.exe";
    check(CopyFileW(ownPath().c_str(), copy.c_str(), FALSE) != FALSE,
          "copied the test program as tovia_probe.exe");
    const platform::Pid pid = spawn(copy, L"sleep 60000");
    check(pid > 0, "started tovia_probe.exe");
    Sleep(200);
    const std::vector<platform::Pid> found = platform::pidsByImageName("TOVIA_PROBE.EXE");
    check(found.size() == 1 && found.front() == pid, "found by image name without regard to case");
    check(platform::pidsByImageName("probe.exe").empty(), "a name's tail does not match");
    check(platform::killByImageName("tovia_probe.exe") == 1, "kill by image name found one process");
    check(waitGone(pid), "tovia_probe.exe dead after kill by image name");
    check(platform::killByImageName("tovia_probe.exe") == 0, "nothing left to kill");
    DeleteFileW(copy.c_str());
}

void checkImageNameFragment()
{
    // The matching copy holds the fragment in other letter case; the other holds both of its words,
    // but apart.
    const std::wstring matching = tempFolder() + L"ToviaFragProbe.exe";
    const std::wstring other = tempFolder() + L"ToviaFrag_Probe.exe";
    check(CopyFileW(ownPath().c_str(), matching.c_str(), FALSE) != FALSE &&
              CopyFileW(ownPath().c_str(), other.c_str(), FALSE) != FALSE,
          "copied the test program as ToviaFragProbe.exe and ToviaFrag_Probe.exe");
    const platform::Pid matchingPid = spawn(matching, L"sleep 60000");
    const platform::Pid otherPid = spawn(other, L"sleep 60000");
    check(matchingPid > 0 && otherPid > 0, "started both copies");
    Sleep(200);
    std::vector<platform::Pid> found = platform::pidsByImageNameContaining("fragprobe");
    check(found.size() == 1 && found.front() == matchingPid, "found by a fragment of its name, case ignored");
    found = platform::pidsByImageNameContaining("FRAG_PROBE.EXE");
    check(found.size() == 1 && found.front() == otherPid, "the other copy found by its own fragment");
    check(platform::pidsByImageNameContaining("").empty(), "an empty fragment finds nothing");
    bool selfListed = false;
    for (platform::Pid pid : platform::pidsByImageNameContaining(".EXE")) {
        selfListed = selfListed || pid == static_cast<platform::Pid>(GetCurrentProcessId());
    }
    check(!selfListed, "the caller is not listed");
    check(platform::killProcessTree(matchingPid) && platform::killProcessTree(otherPid),
          "both copies killed");
    DeleteFileW(matching.c_str());
    DeleteFileW(other.c_str());
}

void checkUdpTable()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET socket4 = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    const bool bound = bind(socket4, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(socket4, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    const std::uint16_t port = ntohs(address.sin_port);
    check(bound, "bound a UDP socket to port " + std::to_string(port));
    check(platform::isUdpPortListened(port), "bound port is in the UDP listener table");
    closesocket(socket4);
    check(!platform::isUdpPortListened(port), "closed port is not in the UDP listener table");

    // A listening TCP socket with a long queue takes a connection before anyone accepts it.
    const std::intptr_t listener = platform::listenTcpIPv4(0, 1024);
    check(listener >= 0, "listening TCP socket made");
    sockaddr_in bound4{};
    int boundLength = sizeof bound4;
    getsockname(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&bound4), &boundLength);
    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    bound4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(connect(client, reinterpret_cast<sockaddr*>(&bound4), sizeof bound4) == 0,
          "connected to it before it accepted");
    closesocket(client);
    platform::closeSocket(listener);
}

void checkCrashHandler()
{
    const std::wstring file = tempFolder() + L"tovia_crash.txt";
    DeleteFileW(file.c_str());
    const long code = runToEnd(ownPath(), L"crash \"" + file + L"\"", 60000);
    char codeText[32];
    std::snprintf(codeText, sizeof codeText, "%lx", static_cast<unsigned long>(code));
    check(static_cast<unsigned long>(code) == 0xc0000005ul,
          std::string("crashed child ended with ") + codeText);
    const std::string line = readFile(file);
    check(line.rfind("crash: exception code c0000005 address ", 0) == 0,
          "crash line written: '" + line + "'");
    DeleteFileW(file.c_str());
}

// Input replay: the cursor lands where it was put; injected keys and wheel steps arrive as input
// (a low-level hook on this thread sees them); a code without a key is refused.
LRESULT CALLBACK keyHook(int code, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK mouseHook(int code, WPARAM wParam, LPARAM lParam);
std::vector<std::pair<DWORD, WPARAM>> g_keys;
int g_wheelDelta = 0;

LRESULT CALLBACK keyHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        g_keys.emplace_back(reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam)->vkCode, wParam);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK mouseHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION && wParam == WM_MOUSEWHEEL) {
        g_wheelDelta += GET_WHEEL_DELTA_WPARAM(reinterpret_cast<MSLLHOOKSTRUCT*>(lParam)->mouseData);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void pumpMessages(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    while (GetTickCount() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
}

void checkInput()
{
    // The position is held by the window server: it may take a moment to be seen.
    POINT point{};
    bool placed = false;
    for (int attempt = 0; attempt < 40 && !(placed && point.x == 123 && point.y == 45); ++attempt) {
        placed = platform::setCursorPos(123, 45) && GetCursorPos(&point);
        pumpMessages(25);
    }
    check(placed && point.x == 123 && point.y == 45,
          "cursor put at (123, 45): (" + std::to_string(point.x) + ", " + std::to_string(point.y) + ")");
    HHOOK keys = SetWindowsHookExW(WH_KEYBOARD_LL, keyHook, GetModuleHandleW(nullptr), 0);
    HHOOK mouse = SetWindowsHookExW(WH_MOUSE_LL, mouseHook, GetModuleHandleW(nullptr), 0);
    check(keys && mouse, "low-level input hooks installed");
    const bool sent = platform::keyEvent('A', true) && platform::keyEvent('A', false) &&
                      platform::keyEvent(VK_RETURN, true) && platform::keyEvent(VK_RETURN, false);
    check(sent && platform::mouseWheel(2) && platform::mouseWheel(-1), "keys and wheel injected");
    pumpMessages(500);
    const std::vector<std::pair<DWORD, WPARAM>> expected{
        {'A', WM_KEYDOWN}, {'A', WM_KEYUP}, {VK_RETURN, WM_KEYDOWN}, {VK_RETURN, WM_KEYUP}};
    check(g_keys == expected,
          "the hook saw A and Enter pressed and released (" + std::to_string(g_keys.size()) + " key events)");
    check(g_wheelDelta == WHEEL_DELTA,
          "wheel: two notches up, one down (" + std::to_string(g_wheelDelta) + ")");
    check(!platform::keyEvent(0, true) && !platform::keyEvent(0x1FF, true), "codes without a key refused");
    UnhookWindowsHookEx(keys);
    UnhookWindowsHookEx(mouse);
}

void checkOther()
{
    check(!platform::findTopLevelWindow("Qt5QWindowIcon", "no such window 7f3a").found,
          "absent window not found");
    check(!platform::hostName().empty(), "host name: " + platform::hostName());
    const std::string facing = platform::localIPv4Facing("127.0.0.1");
    check(facing == "127.0.0.1" || facing == platform::hostIPv4(), "address facing 127.0.0.1: " + facing);
    check(platform::localIPv4Facing("bad") == platform::hostIPv4(), "bad peer falls back to the host lookup");
    check(platform::crashBoxText(0xc0000005u, 0x401000u)
                  .find("<div>错误代码：c0000005</div><div>错误地址：401000</div>") != std::string::npos,
          "crash box text");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && std::wstring(argv[1]) == L"sleep") {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        return 0;
    }
    if (argc >= 3 && std::wstring(argv[1]) == L"parent") {
        spawn(ownPath(), std::wstring(L"sleep ") + argv[2]);
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        return 0;
    }
    if (argc >= 3 && std::wstring(argv[1]) == L"crash") {
        return crashMode(argv[2]);
    }
    auto utf8 = [](const wchar_t* text) {
        const int length = static_cast<int>(wcslen(text));
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
        std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        if (size > 0) {
            WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
        }
        return result;
    };
    if (argc >= 4 && std::wstring(argv[1]) == L"registry") {
        checkRegistry(utf8(argv[2]), utf8(argv[3]));
        return g_failures == 0 ? 0 : 1;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: wintests <expected MEmu folder> <expected LDPlayer folder>\n");
        return 2;
    }
    checkRegistry(utf8(argv[1]), utf8(argv[2]));
    checkProcessTree();
    checkImageName();
    checkImageNameFragment();
    checkUdpTable();
    checkCrashHandler();
    checkInput();
    checkOther();
    std::printf("%d of %d checks passed\n", g_checks - g_failures, g_checks);
    return g_failures == 0 ? 0 : 1;
}
