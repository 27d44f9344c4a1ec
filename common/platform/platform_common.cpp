// Parts of the platform layer that are the same on every OS.

#include "platform.h"
#include "platform_internal.h"

#include <cstring>

namespace platform {

const char* const kCrashBoxTitle = "程式崩溃";

std::string crashBoxText(std::uint64_t code, std::uintptr_t address)
{
    char codeText[24];
    char addressText[24];
    detail::FixedText(codeText, sizeof codeText).hex(code);
    detail::FixedText(addressText, sizeof addressText).hex(address);
    std::string text = "<FONT size=4><div><b>对于发生的错误，表示诚挚的歉意</b><br/></div>";
    text += "<div>错误代码：";
    text += codeText;
    text += "</div><div>错误地址：";
    text += addressText;
    text += "</div></FONT>";
    return text;
}

namespace {

std::string fileNameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool imageNameMatches(const std::string& path, const std::string& imageName)
{
    if (imageName.empty()) {
        return false;
    }
    return detail::asciiLower(fileNameOf(path)) == detail::asciiLower(imageName);
}

std::string programFolderOfCommandLine(const std::string& commandLine)
{
    std::size_t start = commandLine.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return {};
    }
    std::string program;
    if (commandLine[start] == '"') {
        const std::size_t close = commandLine.find('"', start + 1);
        program =
            commandLine.substr(start + 1, close == std::string::npos ? std::string::npos : close - start - 1);
    } else {
        // An unquoted program path may hold blanks: it ends after ".exe" when that is followed by a
        // blank or the end, otherwise at the first blank.
        const std::string lower = detail::asciiLower(commandLine);
        std::size_t end = std::string::npos;
        for (std::size_t pos = lower.find(".exe", start); pos != std::string::npos;
             pos = lower.find(".exe", pos + 1)) {
            const std::size_t after = pos + 4;
            if (after == lower.size() || lower[after] == ' ' || lower[after] == '\t') {
                end = after;
                break;
            }
        }
        if (end == std::string::npos) {
            end = commandLine.find_first_of(" \t", start);
        }
        program = commandLine.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return detail::folderOfPath(program);
}

namespace detail {

std::string asciiLower(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool fileNameContains(const std::string& path, const std::string& fragment)
{
    if (fragment.empty()) {
        return false;
    }
    return asciiLower(fileNameOf(path)).find(asciiLower(fragment)) != std::string::npos;
}

std::string folderOfPath(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return {};
    }
    std::string folder = path.substr(0, slash);
    if (folder.size() == 2 && folder[1] == ':') {
        folder += path[slash];
    }
    return folder;
}

FixedText::FixedText(char* buffer, std::size_t size) : begin(buffer), capacity(size)
{
    if (capacity > 0) {
        begin[0] = '\0';
    }
}

FixedText& FixedText::text(const char* s)
{
    while (s && *s && length + 1 < capacity) {
        begin[length++] = *s++;
    }
    if (capacity > 0) {
        begin[length] = '\0';
    }
    return *this;
}

FixedText& FixedText::hex(std::uint64_t value)
{
    char digits[17];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    char reversed[17];
    for (int i = 0; i < n; ++i) {
        reversed[i] = digits[n - 1 - i];
    }
    reversed[n] = '\0';
    return text(reversed);
}

FixedText& FixedText::dec(std::int64_t value)
{
    char digits[21];
    int n = 0;
    const bool negative = value < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char reversed[22];
    int k = 0;
    if (negative) {
        reversed[k++] = '-';
    }
    for (int i = n - 1; i >= 0; --i) {
        reversed[k++] = digits[i];
    }
    reversed[k] = '\0';
    return text(reversed);
}

bool parseIPv4(const std::string& text, std::uint32_t& address)
{
    std::uint32_t result = 0;
    int parts = 0;
    std::size_t pos = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        std::uint32_t part = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            part = part * 10 + static_cast<std::uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || part > 255) {
            return false;
        }
        result = (result << 8) | part;
        ++parts;
        if (parts < 4) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
    }
    if (pos != text.size()) {
        return false;
    }
    address = result;
    return true;
}

std::string formatIPv4(std::uint32_t address)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((address >> shift) & 0xff);
        if (shift > 0) {
            text += '.';
        }
    }
    return text;
}

std::string addressOnSubnetOf(const std::vector<InterfaceAddress>& interfaces, std::uint32_t peer)
{
    const InterfaceAddress* best = nullptr;
    for (const InterfaceAddress& entry : interfaces) {
        if (entry.netmask == 0 || (entry.address & entry.netmask) != (peer & entry.netmask)) {
            continue;
        }
        if (!best || entry.netmask > best->netmask) {
            best = &entry;
        }
    }
    return best ? formatIPv4(best->address) : std::string();
}

} // namespace detail
} // namespace platform
