// Windows: emulator install folders from the registry, the UDP listener table, the crash filter,
// host name and addresses.

#include "platform.h"
#include "platform_internal.h"
#include "wintext.h"

// winsock2 before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace platform {

// ---- emulator install folders ----

namespace {

const REGSAM kRegistryRead = 0x20019; // KEY_READ

struct RegistryValue
{
    std::wstring name;
    std::wstring text;
};

// Walks the values of a key under HKEY_CLASSES_ROOT until `accept` takes one. Values that cannot
// be read are skipped; a key that cannot be opened gives nothing.
template <typename Accept> bool findRegistryValue(const wchar_t* keyPath, Accept accept, RegistryValue& found)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath, 0, kRegistryRead, &key) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(65536);
    bool match = false;
    for (DWORD index = 0; !match; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG status =
            RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            continue;
        }
        RegistryValue value;
        value.name.assign(name.data(), nameLength);
        value.text.assign(reinterpret_cast<const wchar_t*>(data.data()), dataLength / sizeof(wchar_t));
        while (!value.text.empty() && value.text.back() == L'\0') {
            value.text.pop_back();
        }
        if (accept(value)) {
            found = value;
            match = true;
        }
    }
    RegCloseKey(key);
    return match;
}

} // namespace

std::string findMEmuDir()
{
    RegistryValue value;
    const bool found = findRegistryValue(
        L"Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache",
        [](const RegistryValue& candidate) { return candidate.text == L"MEmu App Player"; }, value);
    return found ? detail::folderOfPath(win::toUtf8(value.name)) : std::string();
}

std::string findLdPlayerDir()
{
    RegistryValue value;
    const bool found = findRegistryValue(
        L"ldmnq.apk\\Shell\\Open\\Command",
        [](const RegistryValue& candidate) { return candidate.name.empty(); }, value);
    return found ? programFolderOfCommandLine(win::toUtf8(value.text)) : std::string();
}

// ---- UDP listener table ----

bool isUdpPortListened(std::uint16_t port)
{
    using GetUdpTableFn = DWORD(WINAPI*)(PMIB_UDPTABLE, PDWORD, BOOL);
    static const GetUdpTableFn getUdpTable = [] {
        HMODULE library = LoadLibraryW(L"iphlpapi.dll");
        return library ? reinterpret_cast<GetUdpTableFn>(
                             reinterpret_cast<void*>(GetProcAddress(library, "GetUdpTable")))
                       : nullptr;
    }();
    if (!getUdpTable) {
        return false;
    }
    DWORD size = 0;
    if (getUdpTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    // The table may grow between the two calls: ask again with the new size a few times.
    std::vector<BYTE> buffer;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        status = getUdpTable(reinterpret_cast<PMIB_UDPTABLE>(buffer.data()), &size, FALSE);
    }
    if (status != NO_ERROR) {
        return false;
    }
    const auto* table = reinterpret_cast<const MIB_UDPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port) {
            return true;
        }
    }
    return false;
}

int readDatagrams(std::intptr_t socket, char* buffer, int slotBytes, int max, int* sizes,
                  std::uint32_t* sources)
{
    int total = 0;
    for (; total < max; ++total) {
        sockaddr_in from{};
        int fromLen = sizeof(from);
        const int got = recvfrom(static_cast<SOCKET>(socket), buffer + std::ptrdiff_t(total) * slotBytes,
                                 slotBytes, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        // A datagram longer than the slot fails with WSAEMSGSIZE but is read, cut to the slot.
        if (got < 0 && WSAGetLastError() != WSAEMSGSIZE) {
            break;
        }
        sizes[total] = got < 0 ? slotBytes : got;
        sources[total] = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
    }
    return total;
}

bool setCurrentThreadBackground()
{
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0;
}

// ---- crash filter ----

namespace {

std::atomic<CrashCallback> g_crashCallback{nullptr};
std::atomic<bool> g_inCrashFilter{false};

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception)
{
    if (g_inCrashFilter.exchange(true)) {
        return EXCEPTION_EXECUTE_HANDLER;
    }
    CrashInfo crash;
    if (exception && exception->ExceptionRecord) {
        crash.code = exception->ExceptionRecord->ExceptionCode;
        crash.address = reinterpret_cast<std::uintptr_t>(exception->ExceptionRecord->ExceptionAddress);
    }
    static char line[160];
    detail::FixedText(line, sizeof line)
        .text("crash: exception code ")
        .hex(crash.code)
        .text(" address ")
        .hex(crash.address);
    crash.line = line;
    if (CrashCallback callback = g_crashCallback.load()) {
        callback(crash);
    } else {
        DWORD written = 0;
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        WriteFile(error, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
        WriteFile(error, "\r\n", 2, &written, nullptr);
    }
    // Tells Windows to run the handler, which ends the process.
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void installCrashHandler(CrashCallback callback)
{
    g_crashCallback.store(callback);
    SetUnhandledExceptionFilter(onUnhandledException);
}

// ---- this PC on the network ----

namespace {

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

} // namespace

std::string hostName()
{
    char name[256] = {};
    if (!startWinsock() || gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    // gethostname answers in the ANSI code page.
    const int size = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name, -1, &wide[0], size);
    return win::toUtf8(wide.c_str(), wcslen(wide.c_str()));
}

std::intptr_t listenTcpIPv4(std::uint16_t port, int backlog)
{
    if (!startWinsock())
        return -1;
    const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET)
        return -1;
    BOOL on = TRUE;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<std::intptr_t>(s);
}

void closeSocket(std::intptr_t socket)
{
    if (socket >= 0)
        closesocket(static_cast<SOCKET>(socket));
}

std::string hostIPv4()
{
    char name[256] = {};
    if (!startWinsock() || gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    // gethostbyname keeps its answer per thread; it is copied out at once.
    const hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0]) {
        return {};
    }
    in_addr address;
    memcpy(&address, host->h_addr_list[0], sizeof address);
    const char* text = inet_ntoa(address);
    return text ? std::string(text) : std::string();
}

std::string localIPv4Facing(const std::string& peerIPv4)
{
    std::uint32_t peer = 0;
    std::vector<detail::InterfaceAddress> interfaces;
    ULONG size = 0;
    if (detail::parseIPv4(peerIPv4, peer) &&
        GetIpAddrTable(nullptr, &size, FALSE) == ERROR_INSUFFICIENT_BUFFER) {
        std::vector<BYTE> buffer(size);
        auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
        if (GetIpAddrTable(table, &size, FALSE) == NO_ERROR) {
            for (DWORD i = 0; i < table->dwNumEntries; ++i) {
                const MIB_IPADDRROW& row = table->table[i];
                if (row.dwAddr != 0) {
                    interfaces.push_back({ntohl(row.dwAddr), ntohl(row.dwMask)});
                }
            }
        }
    }
    const std::string facing = detail::addressOnSubnetOf(interfaces, peer);
    return facing.empty() ? hostIPv4() : facing;
}

} // namespace platform
