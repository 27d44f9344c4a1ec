// Linux side of UpdateShifter: a copy through a temporary file renamed over the destination (so a
// running program can be replaced), posix_spawn for the host program, /proc/self/exe for the own
// path. Texts are UTF-8 throughout.
#include "shifteros.h"

#include "filestream.h"
#include "textconv.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace shifter::os {

namespace {

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

bool startProgram(const std::string& path, const std::vector<std::string>& args, int& errorCode)
{
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The host outlives this program and must not share its session.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    errorCode = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), environ);
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
