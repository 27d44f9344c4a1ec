// Processes on Linux: /proc for liveness, parents and names, kill(2) for kills.

#include "platform.h"
#include "platform_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace platform {
namespace {

struct ProcStat
{
    char state = '?';
    Pid ppid = 0;
};

std::string procPath(Pid pid, const char* leaf)
{
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// First NUL-terminated field of a /proc file (argv[0] of cmdline).
std::string readFirstField(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string field;
    std::getline(in, field, '\0');
    return field;
}

// Fields after the command name in /proc/<pid>/stat: "<pid> (<comm>) <state> <ppid> ...". The name
// may hold blanks and parentheses, so parsing starts after the last ')'.
bool readStat(Pid pid, ProcStat& stat)
{
    std::ifstream in(procPath(pid, "stat"));
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 4 > line.size()) {
        return false;
    }
    stat.state = line[close + 2];
    stat.ppid = std::strtoll(line.c_str() + close + 4, nullptr, 10);
    return true;
}

// Start time of the process in clock ticks since boot: field 22 of /proc/<pid>/stat, the 20th after
// the command name. -1 when it cannot be read.
long long startTicks(Pid pid)
{
    std::ifstream in(procPath(pid, "stat"));
    std::string line;
    if (!std::getline(in, line)) {
        return -1;
    }
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int n = 0; n < 20; ++n) {
        if (!(fields >> field)) {
            return -1;
        }
    }
    char* end = nullptr;
    const long long ticks = std::strtoll(field.c_str(), &end, 10);
    return end && *end == '\0' && ticks >= 0 ? ticks : -1;
}

std::vector<Pid> allPids()
{
    std::vector<Pid> pids;
    DIR* dir = opendir("/proc");
    if (!dir) {
        return pids;
    }
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long long pid = std::strtoll(entry->d_name, &end, 10);
        if (pid > 0 && end && *end == '\0') {
            pids.push_back(pid);
        }
    }
    closedir(dir);
    return pids;
}

// A thread id has a /proc entry too (left out of the listing); killing it would kill the whole
// process the thread belongs to. Only a thread-group leader is a process.
bool isProcess(Pid pid)
{
    std::ifstream in(procPath(pid, "status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "Tgid:") == 0) {
            return std::strtoll(line.c_str() + 5, nullptr, 10) == pid;
        }
    }
    return false;
}

bool isEnded(char state)
{
    return state == 'Z' || state == 'X' || state == 'x';
}

// Path of the process's executable; a file replaced or removed since the start keeps its path
// (the kernel's " (deleted)" mark is dropped). Empty when it cannot be read.
std::string executablePath(Pid pid)
{
    char target[4096];
    const ssize_t n = readlink(procPath(pid, "exe").c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    std::string exe(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
        exe.resize(exe.size() - deleted.size());
    }
    return exe;
}

bool matchesImageName(Pid pid, const std::string& imageName)
{
    // argv[0] as started: a tool started as ".../MEmu.exe MEmu_1" keeps its name even when the
    // file is a link to another program.
    const std::string argv0 = readFirstField(procPath(pid, "cmdline"));
    if (!argv0.empty() && imageNameMatches(argv0, imageName)) {
        return true;
    }
    const std::string exe = executablePath(pid);
    if (!exe.empty() && imageNameMatches(exe, imageName)) {
        return true;
    }
    // The kernel keeps at most 15 characters of the name: a name of 15 may have been cut and is
    // only trusted through argv[0] or the executable above.
    std::string comm;
    std::ifstream in(procPath(pid, "comm"));
    if (std::getline(in, comm) && comm.size() < 15 &&
        detail::asciiLower(comm) == detail::asciiLower(imageName)) {
        return true;
    }
    return false;
}

// The path with every link resolved; the path itself when it does not exist.
std::string resolvedPath(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) {
        return path;
    }
    std::string out(resolved);
    std::free(resolved);
    return out;
}

bool ownedByCaller(Pid pid)
{
    struct stat info;
    if (stat(procPath(pid, "").c_str(), &info) != 0) {
        return false;
    }
    return info.st_uid == geteuid();
}

bool mayKill(Pid pid)
{
    return pid > 1 && pid != static_cast<Pid>(getpid());
}

// Stops the process and, round after round, every new descendant, so that nothing forks away while
// the tree is collected.
std::set<Pid> freezeTree(Pid root)
{
    std::set<Pid> tree{root};
    kill(static_cast<pid_t>(root), SIGSTOP);
    for (int round = 0; round < 8; ++round) {
        bool grew = false;
        for (Pid pid : allPids()) {
            ProcStat stat;
            if (tree.count(pid) || !mayKill(pid) || !readStat(pid, stat) || !tree.count(stat.ppid)) {
                continue;
            }
            tree.insert(pid);
            kill(static_cast<pid_t>(pid), SIGSTOP);
            grew = true;
        }
        if (!grew) {
            break;
        }
    }
    return tree;
}

} // namespace

bool enlargePipe(int fd, int bytes)
{
    return ::fcntl(fd, F_SETPIPE_SZ, bytes) >= bytes;
}

bool processAlive(Pid pid)
{
    ProcStat stat;
    return pid > 0 && readStat(pid, stat) && !isEnded(stat.state) && isProcess(pid);
}

std::int64_t processAgeMs(Pid pid)
{
    if (!processAlive(pid)) {
        return -1;
    }
    const long long ticks = startTicks(pid);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    timespec now{};
    // The kernel counts a start time on the boot-time clock (suspended time included).
    if (ticks < 0 || ticksPerSecond <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0) {
        return -1;
    }
    const std::int64_t nowMs = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    const std::int64_t startMs = static_cast<std::int64_t>(ticks) * 1000 / ticksPerSecond;
    return nowMs >= startMs ? nowMs - startMs : 0;
}

bool killProcessTree(Pid pid)
{
    if (!mayKill(pid)) {
        return false;
    }
    if (!processAlive(pid)) {
        return true;
    }
    for (Pid member : freezeTree(pid)) {
        kill(static_cast<pid_t>(member), SIGKILL);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (processAlive(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !processAlive(pid);
}

namespace {

// The live processes other than this one that match.
template <typename Match> std::vector<Pid> otherLivePids(Match matches)
{
    std::vector<Pid> found;
    const Pid self = getpid();
    for (Pid pid : allPids()) {
        if (pid != self && matches(pid) && processAlive(pid)) {
            found.push_back(pid);
        }
    }
    return found;
}

} // namespace

std::vector<Pid> pidsByImageName(const std::string& imageName)
{
    if (imageName.empty()) {
        return {};
    }
    return otherLivePids([&imageName](Pid pid) { return matchesImageName(pid, imageName); });
}

std::vector<Pid> pidsByImageNameContaining(const std::string& fragment)
{
    if (fragment.empty()) {
        return {};
    }
    return otherLivePids(
        [&fragment](Pid pid) { return detail::fileNameContains(executablePath(pid), fragment); });
}

bool processRunsImage(Pid pid, const std::string& imagePath)
{
    if (imagePath.empty() || !processAlive(pid) || !ownedByCaller(pid)) {
        return false;
    }
    const std::string wanted = resolvedPath(imagePath);
    const std::string exe = executablePath(pid);
    if (!exe.empty() && resolvedPath(exe) == wanted) {
        return true;
    }
    const std::string argv0 = readFirstField(procPath(pid, "cmdline"));
    return !argv0.empty() && argv0[0] == '/' && resolvedPath(argv0) == wanted;
}

int killByImageName(const std::string& imageName)
{
    const std::vector<Pid> pids = pidsByImageName(imageName);
    for (Pid pid : pids) {
        killProcessTree(pid);
    }
    return static_cast<int>(pids.size());
}

} // namespace platform
