#pragma once
// The operating-system side of UpdateShifter. Every path and message crosses this interface as
// UTF-8; each platform converts to what its calls need (UTF-16 on Windows). "ANSI" texts are the
// narrow texts of the update list: the thread's ANSI code page on Windows, UTF-8 on Linux.
#include <cstddef>
#include <string>
#include <vector>

namespace shifter::os {

// The separator of the base directory and of the paths formed from it.
char pathSeparator();
// True where file names compare without regard to case.
bool caseInsensitiveNames();

// Start-up checks of the program; false with a message for the console when they fail.
bool initialise(std::string& failureText);

std::string ownExecutablePath();

std::string ansiToUtf8(const std::string& ansi);
std::u16string ansiToUtf16(const std::string& ansi);
std::string utf16ToAnsi(const std::u16string& utf16);

// Whole-file access for the update list. Reading refuses files above maxBytes.
bool readWholeFile(const std::string& path, std::string& bytes, size_t maxBytes);
bool writeWholeFile(const std::string& path, const std::string& bytes);

// Copies src over dst. On failure errorCode holds the system's error code.
bool copyFile(const std::string& src, const std::string& dst, int& errorCode);
bool deleteFile(const std::string& path);
// Starts a program with the given arguments, without waiting for it.
bool startProgram(const std::string& path, const std::vector<std::string>& args, int& errorCode);

void sleepMs(unsigned ms);
// Writes a message to standard output at once (in the console's encoding).
void print(const std::string& utf8);

} // namespace shifter::os
