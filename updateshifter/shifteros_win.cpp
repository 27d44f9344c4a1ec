// Windows side of UpdateShifter: CopyFileW / DeleteFileW, CreateProcessW for the host and
// GetModuleFileNameW for the own path. Paths arrive as UTF-8 and are converted to UTF-16; list
// texts use the thread's ANSI code page.
#include "shifteros.h"

#include "filestream.h"
#include "textconv.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

namespace shifter::os {

namespace {

std::wstring toWide(const std::string& utf8)
{
    const std::u16string u16 = utf8ToUtf16(utf8);
    return std::wstring(u16.begin(), u16.end());
}

std::string fromWide(const std::wstring& wide)
{
    return utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
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

bool startProgram(const std::string& path, const std::vector<std::string>& args, int& errorCode)
{
    const std::wstring program = toWide(path);
    // Without arguments the command line stays empty, as the host has always been started.
    std::string line;
    if (!args.empty()) {
        line = quoteWindowsArgument(path);
        for (const std::string& a : args)
            line += " " + quoteWindowsArgument(a);
    }
    std::wstring commandLine = toWide(line);
    commandLine.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
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
