// Linux side of UpdateShifter: /proc for the process snapshot and the process tree, kill(2) for the
// forced kill, a copy through a temporary file renamed over the destination (so a running program
// can be replaced), posix_spawn for the host program. Texts are UTF-8 throughout.
#include "shifteros.h"

#include "filestream.h"
#include "textconv.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace shifter::os {

namespace {

bool isPidName(const char* name)
{
    if (!*name)
        return false;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

std::vector<int64_t> allPids()
{
    std::vector<int64_t> pids;
    DIR* dir = opendir("/proc");
    if (!dir)
        return pids;
    while (dirent* ent = readdir(dir)) {
        if (isPidName(ent->d_name))
            pids.push_back(std::strtoll(ent->d_name, nullptr, 10));
    }
    closedir(dir);
    return pids;
}

std::string readLink(const std::string& path)
{
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return std::string();
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// Parent id and state letter from /proc/<pid>/stat (the command name may contain spaces and ')').
bool readStat(int64_t pid, int64_t& ppid, char& state)
{
    std::string bytes;
    if (!readWholeFile("/proc/" + std::to_string(pid) + "/stat", bytes, 4096))
        return false;
    const size_t close = bytes.rfind(')');
    if (close == std::string::npos)
        return false;
    long long parent = 0;
    if (std::sscanf(bytes.c_str() + close + 1, " %c %lld", &state, &parent) != 2)
        return false;
    ppid = parent;
    return true;
}

bool isGone(int64_t pid)
{
    int64_t ppid = 0;
    char state = 0;
    return !readStat(pid, ppid, state) || state == 'Z' || state == 'X';
}

std::vector<int64_t> processTree(int64_t root)
{
    std::multimap<int64_t, int64_t> children;
    for (int64_t pid : allPids()) {
        int64_t ppid = 0;
        char state = 0;
        if (readStat(pid, ppid, state))
            children.emplace(ppid, pid);
    }
    std::vector<int64_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        auto range = children.equal_range(tree[i]);
        for (auto it = range.first; it != range.second; ++it)
            tree.push_back(it->second);
    }
    return tree;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool copyContents(int in, int out)
{
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(out, buf.data(), static_cast<size_t>(n)))
            return false;
    }
}

std::string tempNameBeside(const std::string& dst)
{
    const size_t slash = dst.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : dst.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? dst : dst.substr(slash + 1);
    return dir + "." + name + ".shift-XXXXXX";
}

} // namespace

char pathSeparator()
{
    return '/';
}

bool caseInsensitiveNames()
{
    return false;
}

bool initialise(std::string&)
{
    return true;
}

std::string ownExecutablePath()
{
    return readLink("/proc/self/exe");
}

int64_t ownProcessId()
{
    return getpid();
}

std::string ansiToUtf8(const std::string& ansi)
{
    return ansi;
}

std::u16string ansiToUtf16(const std::string& ansi)
{
    return utf8ToUtf16(ansi);
}

std::string utf16ToAnsi(const std::u16string& utf16)
{
    return utf16ToUtf8(utf16);
}

bool readWholeFile(const std::string& path, std::string& bytes, size_t maxBytes)
{
    return readAndClose(std::fopen(path.c_str(), "rb"), bytes, maxBytes);
}

bool writeWholeFile(const std::string& path, const std::string& bytes)
{
    return writeAndClose(std::fopen(path.c_str(), "wb"), bytes);
}

std::vector<int64_t> findProcessesByName(const std::string& name)
{
    std::vector<int64_t> found;
    const std::string needle = asciiLower(name);
    const int64_t self = ownProcessId();
    for (int64_t pid : allPids()) {
        if (pid == self)
            continue;
        const std::string exe = readLink("/proc/" + std::to_string(pid) + "/exe");
        if (exe.empty())
            continue;
        const std::string exeName = asciiLower(exe.substr(exe.rfind('/') + 1));
        if (exeName.find(needle) != std::string::npos)
            found.push_back(pid);
    }
    return found;
}

void killProcessTree(int64_t pid)
{
    const std::vector<int64_t> tree = processTree(pid);
    for (int64_t p : tree) {
        if (p != ownProcessId())
            kill(static_cast<pid_t>(p), SIGKILL);
    }
    // The kill is asynchronous; give the processes a bounded moment to be gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int64_t p : tree) {
        while (!isGone(p) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool copyFile(const std::string& src, const std::string& dst, int& errorCode)
{
    const int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        errorCode = errno;
        return false;
    }
    struct stat st
    {
    };
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        errorCode = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(in);
        return false;
    }
    std::string temp = tempNameBeside(dst);
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        errorCode = errno;
        close(in);
        return false;
    }
    bool ok = copyContents(in, out) && fchmod(out, st.st_mode & 07777) == 0 && fsync(out) == 0;
    errorCode = ok ? 0 : errno;
    close(in);
    if (close(out) != 0 && ok) {
        ok = false;
        errorCode = errno;
    }
    if (ok && rename(temp.c_str(), dst.c_str()) != 0) {
        ok = false;
        errorCode = errno;
    }
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

bool deleteFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool startProgram(const std::string& path, int& errorCode)
{
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The host outlives this program and must not share its session.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = 0;
    errorCode = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return errorCode == 0;
}

void sleepMs(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void print(const std::string& utf8)
{
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

} // namespace shifter::os
