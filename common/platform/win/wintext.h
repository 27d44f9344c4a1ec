#pragma once
// UTF-8 <-> UTF-16 for the Windows half of the platform layer, and a hidden command runner.

#include <string>

namespace platform {
namespace win {

std::wstring toWide(const std::string& utf8);
std::string toUtf8(const std::wstring& wide);
std::string toUtf8(const wchar_t* wide, std::size_t length);

// Runs a command line without a window, its output thrown away; waits at most timeoutMs.
// Returns the exit code, or -1 when it could not be started or did not finish in time.
long runHidden(const std::wstring& commandLine, unsigned long timeoutMs);

} // namespace win
} // namespace platform
