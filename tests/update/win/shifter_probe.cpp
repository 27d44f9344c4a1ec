// Test program for the Windows run of UpdateShifter, acting by its own file name: a name with
// "Host" is the host program (it leaves "host_started.txt" beside itself, one line per argument
// after the first, UTF-8, and ends); any other name
// is a running program that an update replaces (it leaves its process id in "<name>.running" and waits up to
// 60 s).
#include <windows.h>

#include <string>

namespace {

void touch(const std::wstring& path, const char* text)
{
    HANDLE f =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
    CloseHandle(f);
}

} // namespace

std::string utf8(const wchar_t* text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

int wmain(int argc, wchar_t* argv[])
{
    wchar_t buf[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 4);
    const std::wstring self(buf, n);
    const size_t cut = self.find_last_of(L"\\/");
    const std::wstring dir = self.substr(0, cut + 1);
    const std::wstring name = self.substr(cut + 1);
    if (name.find(L"Host") != std::wstring::npos) {
        std::string text = "host started\r\n";
        for (int i = 1; i < argc; ++i)
            text += utf8(argv[i]) + "\r\n";
        touch(dir + L"host_started.txt", text.c_str());
        return 0;
    }
    char pid[32];
    wsprintfA(pid, "%lu\r\n", GetCurrentProcessId());
    touch(dir + name + L".running", pid);
    Sleep(60000);
    return 0;
}
