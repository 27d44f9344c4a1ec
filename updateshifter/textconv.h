#pragma once
// UTF-8 <-> UTF-16 conversion without any library, used where the system's own code page is UTF-8.
// Invalid input is replaced by U+FFFD rather than dropped, so a damaged name stays visible.
#include <string>
#include <vector>

namespace shifter {

std::u16string utf8ToUtf16(const std::string& utf8);
std::string utf16ToUtf8(const std::u16string& utf16);

// printf-style formatting into a std::string (no fixed buffer, no truncation).
std::string formatText(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Lower-cases ASCII letters only; other bytes are left as they are.
std::string asciiLower(std::string text);

// The host program's arguments as the programs hand them over (TOVIA_HOST_ARGS): each argument
// percent-encoded (UTF-8), separated by single spaces. A malformed escape is kept as it is.
std::vector<std::string> decodeArguments(const std::string& encoded);
// One argument for a Windows command line, quoted so that the C runtime's parser gives it back
// exactly (spaces, tabs, quotes and the backslashes before them).
std::string quoteWindowsArgument(const std::string& arg);

} // namespace shifter
