// Linux: UDP listener table, crash handler, host name and addresses, install folders.

#include "platform.h"
#include "platform_internal.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

// ---- install folders: the emulator products exist on Windows only ----

std::string findMEmuDir()
{
    return {};
}

std::string findLdPlayerDir()
{
    return {};
}

// ---- UDP listener table ----

namespace {

// Lines of /proc/net/udp{,6}: "sl local_address rem_address st ...", local_address "ADDR:PORT" in
// hexadecimal.
bool tableListsPort(const char* path, std::uint16_t port)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        if (!(fields >> slot >> local)) {
            continue;
        }
        const std::size_t colon = local.rfind(':');
        if (colon == std::string::npos) {
            continue;
        }
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) {
            return true;
        }
    }
    return false;
}

} // namespace

bool isUdpPortListened(std::uint16_t port)
{
    return tableListsPort("/proc/net/udp", port) || tableListsPort("/proc/net/udp6", port);
}

int readDatagrams(std::intptr_t socket, char* buffer, int slotBytes, int max, int* sizes,
                  std::uint32_t* sources)
{
    constexpr int kPerCall = 64;
    int total = 0;
    while (total < max) {
        const int want = std::min(kPerCall, max - total);
        mmsghdr msgs[kPerCall];
        iovec iovs[kPerCall];
        sockaddr_storage froms[kPerCall];
        std::memset(msgs, 0, sizeof(mmsghdr) * size_t(want));
        for (int i = 0; i < want; ++i) {
            iovs[i].iov_base = buffer + std::ptrdiff_t(total + i) * slotBytes;
            iovs[i].iov_len = size_t(slotBytes);
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &froms[i];
            msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
        const int got = ::recvmmsg(int(socket), msgs, unsigned(want), MSG_DONTWAIT, nullptr);
        if (got <= 0)
            break;
        for (int i = 0; i < got; ++i) {
            sizes[total + i] = int(msgs[i].msg_len);
            const auto* from = reinterpret_cast<const sockaddr_in*>(&froms[i]);
            sources[total + i] = from->sin_family == AF_INET ? ntohl(from->sin_addr.s_addr) : 0;
        }
        total += got;
        if (got < want)
            break;
    }
    return total;
}

bool setCurrentThreadBackground()
{
    // On Linux a thread's nice value is its own: PRIO_PROCESS with a thread id sets that thread only.
    const id_t tid = id_t(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0)
        return false;
    return ::setpriority(PRIO_PROCESS, tid, std::min(19, now + 10)) == 0;
}

// ---- crash handler ----

namespace {

std::atomic<CrashCallback> g_crashCallback{nullptr};
volatile sig_atomic_t g_inCrashHandler = 0;
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
alignas(16) char g_altStack[65536];

const char* signalName(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "?";
    }
}

void restoreDefaultAndRaise(int signal)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    // Blocked while this handler runs: delivered with the default action as soon as it returns.
    // A fault that re-executes the faulting instruction gets there as well.
    raise(signal);
}

void onCrashSignal(int signal, siginfo_t* info, void*)
{
    if (g_inCrashHandler) {
        restoreDefaultAndRaise(signal);
        return;
    }
    g_inCrashHandler = 1;
    const bool hasAddress = signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL;
    CrashInfo crash;
    crash.code = static_cast<std::uint64_t>(signal);
    crash.address = hasAddress && info ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0;
    static char line[160];
    detail::FixedText(line, sizeof line)
        .text("crash: signal ")
        .dec(signal)
        .text(" (")
        .text(signalName(signal))
        .text(") address ")
        .hex(crash.address);
    crash.line = line;
    if (CrashCallback callback = g_crashCallback.load()) {
        callback(crash);
    } else {
        ssize_t ignored = write(STDERR_FILENO, line, strlen(line));
        ignored = write(STDERR_FILENO, "\n", 1);
        (void)ignored;
    }
    restoreDefaultAndRaise(signal);
}

} // namespace

void installCrashHandler(CrashCallback callback)
{
    g_crashCallback.store(callback);
    // A stack overflow leaves no stack for the handler: it runs on its own stack (for the thread
    // that installs it, normally the main thread).
    stack_t stack;
    memset(&stack, 0, sizeof stack);
    stack.ss_sp = g_altStack;
    stack.ss_size = sizeof g_altStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = onCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kCrashSignals) {
        sigaction(signal, &action, nullptr);
    }
}

// ---- this PC on the network ----

std::string hostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string hostIPv4()
{
    const std::string name = hostName();
    if (name.empty()) {
        return {};
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) {
        return {};
    }
    std::string address;
    for (addrinfo* entry = result; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            address = detail::formatIPv4(ntohl(in->sin_addr.s_addr));
            break;
        }
    }
    freeaddrinfo(result);
    return address;
}

std::string localIPv4Facing(const std::string& peerIPv4)
{
    std::uint32_t peer = 0;
    std::vector<detail::InterfaceAddress> interfaces;
    ifaddrs* list = nullptr;
    if (detail::parseIPv4(peerIPv4, peer) && getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || !entry->ifa_netmask || entry->ifa_addr->sa_family != AF_INET ||
                !(entry->ifa_flags & IFF_UP)) {
                continue;
            }
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
            interfaces.push_back({ntohl(address->sin_addr.s_addr), ntohl(mask->sin_addr.s_addr)});
        }
        freeifaddrs(list);
    }
    const std::string facing = detail::addressOnSubnetOf(interfaces, peer);
    return facing.empty() ? hostIPv4() : facing;
}

std::intptr_t listenTcpIPv4(std::uint16_t port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeSocket(std::intptr_t socket)
{
    if (socket >= 0)
        ::close(static_cast<int>(socket));
}

} // namespace platform
