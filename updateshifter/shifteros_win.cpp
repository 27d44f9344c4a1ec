// Windows side of UpdateShifter: the Toolhelp process snapshot, "taskkill" run hidden through a
// pipe, CopyFileW / DeleteFileW, CreateProcessW for the host and GetModuleFileNameW for the own
// path. Paths arrive as UTF-8 and are converted to UTF-16; list texts use the thread's ANSI code page.
#include "shifteros.h"

#include "filestream.h"
#include "textconv.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace shifter::os {

namespace {

constexpr DWORD kHiddenRunSliceMs = 50;
constexpr DWORD kHiddenRunLimitMs = 60000;
constexpr DWORD kHiddenOutputMax = 40960;

std::wstring toWide(const std::string& utf8)
{
    const std::u16string u16 = utf8ToUtf16(utf8);
    return std::wstring(u16.begin(), u16.end());
}

std::string fromWide(const std::wstring& wide)
{
    return utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::wstring lowerWide(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::string wideToCodePage(const std::wstring& wide, UINT codePage)
{
    if (wide.empty())
        return std::string();
    const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring codePageToWide(const std::string& bytes, UINT codePage)
{
    if (bytes.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

constexpr DWORD kKillSettleMs = 3000;

// Every process below root in the parent chain of one snapshot.
std::vector<DWORD> descendantsOf(DWORD root)
{
    std::vector<std::pair<DWORD, DWORD>> parentOf; // (process, parent)
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        parentOf.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    CloseHandle(snapshot);
    std::vector<DWORD> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        for (const auto& pp : parentOf) {
            if (pp.second == tree[i] && pp.first != root && pp.first != GetCurrentProcessId())
                tree.push_back(pp.first);
        }
    }
    tree.erase(tree.begin());
    return tree;
}

void terminateById(DWORD pid)
{
    HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (h) {
        TerminateProcess(h, 1);
        CloseHandle(h);
    }
}

// Keeps the thread's window messages flowing while a child runs; a close message ends the child.
void pumpMessages(HANDLE child)
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_CLOSE)
            TerminateProcess(child, 1);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void drainPipe(HANDLE readEnd, std::string& output)
{
    DWORD available = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buf[4096];
        DWORD got = 0;
        if (!ReadFile(readEnd, buf, available < sizeof(buf) ? available : sizeof(buf), &got, nullptr) ||
            got == 0)
            return;
        if (output.size() < kHiddenOutputMax)
            output.append(buf,
                          got < kHiddenOutputMax - output.size() ? got : kHiddenOutputMax - output.size());
    }
}

// Runs a command line with its window hidden and its output on a pipe; returns that output, or
// "lastErrCode=%d" when it cannot be started. The pipe is drained while waiting so a talkative
// child cannot block, and a child that does not end within a minute is terminated.
std::string runHidden(const std::wstring& commandLine)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return formatText("lastErrCode=%d", static_cast<int>(GetLastError()));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &si, &pi);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return formatText("lastErrCode=%d", static_cast<int>(startError));
    }
    std::string output;
    const ULONGLONG deadline = GetTickCount64() + kHiddenRunLimitMs;
    while (WaitForSingleObject(pi.hProcess, kHiddenRunSliceMs) == WAIT_TIMEOUT) {
        pumpMessages(pi.hProcess);
        drainPipe(readEnd, output);
        if (GetTickCount64() > deadline)
            TerminateProcess(pi.hProcess, 1);
    }
    drainPipe(readEnd, output);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(readEnd);
    return output;
}

} // namespace

char pathSeparator()
{
    return '\\';
}

bool caseInsensitiveNames()
{
    return true;
}

bool initialise(std::string& failureText)
{
    if (GetModuleHandleW(nullptr) == nullptr) {
        failureText = "错误:  GetModuleHandle 失败\n";
        return false;
    }
    return true;
}

std::string ownExecutablePath()
{
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::string();
        if (n < buf.size())
            return fromWide(buf.substr(0, n));
        buf.resize(buf.size() * 2);
    }
}

int64_t ownProcessId()
{
    return GetCurrentProcessId();
}

std::string ansiToUtf8(const std::string& ansi)
{
    return fromWide(codePageToWide(ansi, CP_THREAD_ACP));
}

std::u16string ansiToUtf16(const std::string& ansi)
{
    const std::wstring wide = codePageToWide(ansi, CP_THREAD_ACP);
    return std::u16string(wide.begin(), wide.end());
}

std::string utf16ToAnsi(const std::u16string& utf16)
{
    return wideToCodePage(std::wstring(utf16.begin(), utf16.end()), CP_THREAD_ACP);
}

bool readWholeFile(const std::string& path, std::string& bytes, size_t maxBytes)
{
    return readAndClose(_wfopen(toWide(path).c_str(), L"rb"), bytes, maxBytes);
}

bool writeWholeFile(const std::string& path, const std::string& bytes)
{
    return writeAndClose(_wfopen(toWide(path).c_str(), L"wb"), bytes);
}

std::vector<int64_t> findProcessesByName(const std::string& name)
{
    std::vector<int64_t> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    const std::wstring needle = lowerWide(toWide(name));
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self)
            continue;
        if (lowerWide(entry.szExeFile).find(needle) != std::wstring::npos)
            found.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

void killProcessTree(int64_t pid)
{
    // Held before taskkill runs, so the id cannot pass to another process meanwhile.
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    wchar_t cmd[64];
    std::swprintf(cmd, 64, L"taskkill /pid %d -t -f", static_cast<int>(pid));
    runHidden(cmd);
    if (!process)
        return;
    // Where taskkill is missing or refuses the tree option, end the tree here.
    if (WaitForSingleObject(process, kKillSettleMs) == WAIT_TIMEOUT) {
        for (DWORD child : descendantsOf(static_cast<DWORD>(pid)))
            terminateById(child);
        TerminateProcess(process, 1);
        WaitForSingleObject(process, kKillSettleMs);
    }
    CloseHandle(process);
}

bool copyFile(const std::string& src, const std::string& dst, int& errorCode)
{
    if (CopyFileW(toWide(src).c_str(), toWide(dst).c_str(), FALSE)) {
        errorCode = 0;
        return true;
    }
    errorCode = static_cast<int>(GetLastError());
    return false;
}

bool deleteFile(const std::string& path)
{
    return DeleteFileW(toWide(path).c_str()) != 0;
}

bool startProgram(const std::string& path, int& errorCode)
{
    const std::wstring program = toWide(path);
    wchar_t commandLine[1] = {L'\0'};
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        errorCode = static_cast<int>(GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    errorCode = 0;
    return true;
}

void sleepMs(unsigned ms)
{
    Sleep(ms);
}

void print(const std::string& utf8)
{
    const std::wstring wide = toWide(utf8);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    // Redirected: bytes in the ANSI code page with CR LF line ends, as a console program writes them.
    std::wstring crlf;
    for (wchar_t c : wide) {
        if (c == L'\n')
            crlf += L'\r';
        crlf += c;
    }
    const std::string bytes = wideToCodePage(crlf, CP_ACP);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace shifter::os
