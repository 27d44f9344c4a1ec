// Processes on Windows: taskkill as the system is designed around, the process snapshot and
// TerminateProcess for whatever taskkill leaves behind (or where it lacks /t).

#include "platform.h"
#include "platform_internal.h"
#include "wintext.h"

#include <windows.h>

#include <tlhelp32.h>

#include <map>
#include <set>

namespace platform {
namespace {

const unsigned long kTaskkillTimeoutMs = 30000;

struct ProcessEntry
{
    Pid parent;
    std::string exeName;
};

std::map<Pid, ProcessEntry> snapshot()
{
    std::map<Pid, ProcessEntry> processes;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        return processes;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
        processes[entry.th32ProcessID] = {static_cast<Pid>(entry.th32ParentProcessID),
                                          win::toUtf8(entry.szExeFile)};
    }
    CloseHandle(snap);
    return processes;
}

// Creation time of a process, 0 when it cannot be read. A child is only taken as a child when it
// was created after its parent: Windows keeps the parent id of a dead parent, which may since have
// been given to an unrelated process.
ULONGLONG creationTime(Pid pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        return 0;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    ULONGLONG value = 0;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        value = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    }
    CloseHandle(process);
    return value;
}

bool mayKill(Pid pid)
{
    return pid > 4 && pid <= 0xFFFFFFFFll && pid != static_cast<Pid>(GetCurrentProcessId());
}

// The process and all its descendants, parents before children.
std::vector<Pid> collectTree(Pid root)
{
    const std::map<Pid, ProcessEntry> processes = snapshot();
    std::vector<Pid> tree{root};
    std::set<Pid> seen{root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const ULONGLONG parentCreated = creationTime(tree[i]);
        for (const auto& process : processes) {
            if (process.second.parent != tree[i] || seen.count(process.first) || !mayKill(process.first)) {
                continue;
            }
            const ULONGLONG created = creationTime(process.first);
            if (parentCreated != 0 && created != 0 && created < parentCreated) {
                continue;
            }
            seen.insert(process.first);
            tree.push_back(process.first);
        }
    }
    return tree;
}

void terminate(Pid pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (process) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

// Waits up to timeoutMs for the process to end; true when it is gone.
bool waitGone(Pid pid, unsigned long timeoutMs)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        return !processAlive(pid);
    }
    const bool gone = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
}

std::string ownPath()
{
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return win::toUtf8(path, length);
}

// The account a process runs under, as a SID copied out of its token; empty when it cannot be read.
std::vector<unsigned char> tokenUser(HANDLE process)
{
    std::vector<unsigned char> sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return sid;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        sid.assign(static_cast<unsigned char*>(user), static_cast<unsigned char*>(user) + GetLengthSid(user));
    }
    CloseHandle(token);
    return sid;
}

std::string normalisedPath(const std::string& path)
{
    std::string out = detail::asciiLower(path);
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}

void terminateSurvivors(const std::vector<Pid>& tree)
{
    for (Pid member : tree) {
        if (processAlive(member)) {
            terminate(member);
        }
    }
}

} // namespace

bool enlargePipe(int, int)
{
    return false; // the pipes of a process are sized when they are made
}

bool processAlive(Pid pid)
{
    if (pid <= 0 || pid > 0xFFFFFFFFll) {
        return false;
    }
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        // A protected process exists but cannot be opened.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

std::int64_t processAgeMs(Pid pid)
{
    if (!processAlive(pid)) {
        return -1;
    }
    const ULONGLONG created = creationTime(pid);
    if (created == 0) {
        return -1;
    }
    FILETIME nowTime{};
    GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = (static_cast<ULONGLONG>(nowTime.dwHighDateTime) << 32) | nowTime.dwLowDateTime;
    // FILETIME counts 100 ns steps.
    return now >= created ? static_cast<std::int64_t>((now - created) / 10000) : 0;
}

bool killProcessTree(Pid pid)
{
    if (!mayKill(pid)) {
        return false;
    }
    if (!processAlive(pid)) {
        return true;
    }
    const std::vector<Pid> tree = collectTree(pid);
    win::runHidden(L"taskkill /f /t /pid " + std::to_wstring(pid), kTaskkillTimeoutMs);
    terminateSurvivors(tree);
    return waitGone(pid, 1000);
}

namespace {

// The processes of the snapshot other than this one (and the idle process) whose executable's name
// matches.
template <typename Match> std::vector<Pid> otherPidsByExeName(Match matches)
{
    std::vector<Pid> found;
    const Pid self = GetCurrentProcessId();
    for (const auto& process : snapshot()) {
        if (process.first != self && process.first != 0 && matches(process.second.exeName)) {
            found.push_back(process.first);
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
    return otherPidsByExeName(
        [&imageName](const std::string& exeName) { return imageNameMatches(exeName, imageName); });
}

std::vector<Pid> pidsByImageNameContaining(const std::string& fragment)
{
    if (fragment.empty()) {
        return {};
    }
    return otherPidsByExeName(
        [&fragment](const std::string& exeName) { return detail::fileNameContains(exeName, fragment); });
}

bool processRunsImage(Pid pid, const std::string& imagePath)
{
    if (imagePath.empty() || !processAlive(pid)) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        return false;
    }
    wchar_t path[MAX_PATH * 4] = {};
    DWORD length = MAX_PATH * 4;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &length) != 0;
    const std::vector<unsigned char> user = tokenUser(process);
    CloseHandle(process);
    const std::vector<unsigned char> self = tokenUser(GetCurrentProcess());
    return named && !user.empty() && user == self &&
           normalisedPath(win::toUtf8(path, length)) == normalisedPath(imagePath);
}

int killByImageName(const std::string& imageName)
{
    const std::vector<Pid> pids = pidsByImageName(imageName);
    if (pids.empty()) {
        return 0;
    }
    std::vector<Pid> trees;
    for (Pid pid : pids) {
        if (mayKill(pid)) {
            const std::vector<Pid> tree = collectTree(pid);
            trees.insert(trees.end(), tree.begin(), tree.end());
        }
    }
    // taskkill would end this process too when it bears the name; then only the direct way is used.
    if (!imageNameMatches(ownPath(), imageName)) {
        win::runHidden(L"taskkill /f /im \"" + win::toWide(imageName) + L"\" /t", kTaskkillTimeoutMs);
    }
    terminateSurvivors(trees);
    for (Pid pid : pids) {
        waitGone(pid, 1000);
    }
    return static_cast<int>(pids.size());
}

} // namespace platform
