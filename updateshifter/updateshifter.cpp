#include "updateshifter.h"

#include "platform.h"
#include "shifteros.h"
#include "textconv.h"

#include <cstdlib>

using shifter::formatText;
namespace os = shifter::os;

namespace {

constexpr int kCopyAttempts = 3;

std::string joinNames(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

} // namespace

CUpdateShifter::CUpdateShifter(unsigned tickMs, unsigned retryPauseMs)
    : m_tickMs(tickMs), m_retryPauseMs(retryPauseMs)
{
    const std::string exe = os::ownExecutablePath();
    size_t cut = exe.rfind(os::pathSeparator());
    if (os::pathSeparator() != '/' && exe.rfind('/') != std::string::npos &&
        (cut == std::string::npos || exe.rfind('/') > cut))
        cut = exe.rfind('/');
    m_baseDir = cut == std::string::npos ? std::string() : exe.substr(0, cut + 1);
    m_ownName = cut == std::string::npos ? exe : exe.substr(cut + 1);
}

unsigned CUpdateShifter::msFromEnvironment(const char* name, unsigned fallbackMs)
{
    const char* value = std::getenv(name);
    if (!value || !*value)
        return fallbackMs;
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (*end != '\0' || ms < 0 || ms > 10000)
        return fallbackMs;
    return static_cast<unsigned>(ms);
}

bool CUpdateShifter::containsAfterStart(const std::string& text, const std::string& what, bool ignoreCase)
{
    if (what.empty())
        return false;
    const size_t pos =
        ignoreCase ? shifter::asciiLower(text).find(shifter::asciiLower(what)) : text.find(what);
    return pos != std::string::npos && pos > 0;
}

bool CUpdateShifter::isSafeEntryName(const std::string& name, char separator)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (separator == '\\' && name.find(':') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(separator == '\\' ? "/\\" : "/", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

void CUpdateShifter::countdown(int from, const char* format)
{
    for (int n = from; n >= 1; --n) {
        os::print(formatText(format, n));
        os::sleepMs(m_tickMs);
    }
}

int CUpdateShifter::run()
{
    int exitCode = kExitOk;
    std::string initFailure;
    if (!os::initialise(initFailure)) {
        os::print(initFailure);
        exitCode = kExitInitFailed;
    }
    countdown(3, "%d秒后开始移动文件\n");
    os::print("开始移动文件\n");

    std::string errorText;
    std::string hostProgram;
    if (!moveFiles(errorText, hostProgram)) {
        os::print(formatText("移动文件的过程中出错,%s\n", errorText.c_str()));
        countdown(10, "%d秒后关闭\n");
        return exitCode == kExitOk ? kExitMoveFailed : exitCode;
    }
    os::print("\n下载完成\n");
    countdown(3, "%d秒后开启宿主程序\n");
    startHost(hostProgram);
    return exitCode;
}

bool CUpdateShifter::moveFiles(std::string& errorText, std::string& hostProgram)
{
    CUpdaterSerializer list(shifter::utf8ToUtf16(m_baseDir));
    if (!list.loadList()) {
        errorText = list.errorText();
        return false;
    }
    const std::string downloadDir = shifter::utf16ToUtf8(list.m_downloadDir);
    std::vector<std::string> failed;
    for (const auto& entry : list.m_entries) {
        const std::string name = os::ansiToUtf8(entry.name);
        const std::string source = downloadDir + name;
        if (containsAfterStart(source, m_ownName, os::caseInsensitiveNames())) {
            os::print(formatText("跳过自身文件%s\n", source.c_str()));
            continue;
        }
        if (!isSafeEntryName(name, os::pathSeparator())) {
            os::print(formatText("文件名不合法，未移动：%s\n", name.c_str()));
            failed.push_back(name);
            continue;
        }
        killRunning(name);
        if (!moveOne(source, m_baseDir + name))
            failed.push_back(name);
    }
    if (!failed.empty()) {
        errorText = formatText("未能移动的文件：%s", joinNames(failed).c_str());
        return false;
    }
    hostProgram = shifter::utf16ToUtf8(list.m_hostProgram);
    return true;
}

void CUpdateShifter::killRunning(const std::string& entryName)
{
    for (platform::Pid pid : platform::pidsByImageNameContaining(entryName))
        platform::killProcessTree(pid);
}

bool CUpdateShifter::moveOne(const std::string& source, const std::string& destination)
{
    for (int attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        int errorCode = 0;
        if (os::copyFile(source, destination, errorCode)) {
            os::deleteFile(source);
            os::print(formatText("正在移动%s到%s目录中\n", source.c_str(), m_baseDir.c_str()));
            return true;
        }
        os::print(formatText("%s文件移动失败，iRet=%d,LastErrcode = %d\n", source.c_str(), 0, errorCode));
        os::sleepMs(m_retryPauseMs);
        if (attempt < kCopyAttempts)
            os::print("再次移动文件\n");
    }
    return false;
}

void CUpdateShifter::startHost(const std::string& hostProgram)
{
    // The program that handed over passed its own arguments (its data directory among them) along.
    const char* encoded = std::getenv(kHostArgsVariable);
    const std::vector<std::string> args = shifter::decodeArguments(encoded ? encoded : "");
    int errorCode = 0;
    if (!os::startProgram(hostProgram, args, errorCode))
        os::print(formatText("宿主程序%s启动失败，LastErrcode = %d\n", hostProgram.c_str(), errorCode));
}
