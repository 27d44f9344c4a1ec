#pragma once
// Whole-file reading and writing on a file the platform side has opened (each platform opens paths
// its own way; what follows the open is the same everywhere).
#include <cstdio>
#include <string>

namespace shifter {

// Reads f to its end into bytes and closes it. False when f is null (bytes untouched), on a read
// error, or when the file holds more than maxBytes.
bool readAndClose(FILE* f, std::string& bytes, size_t maxBytes);
// Writes bytes to f and closes it. True only when everything was written and the close succeeded;
// false when f is null.
bool writeAndClose(FILE* f, const std::string& bytes);

} // namespace shifter
