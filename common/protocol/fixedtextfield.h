#pragma once

#include <QByteArray>
#include <QString>

// Texts in fixed-size, NUL-terminated byte fields of the binary records (the 164-byte emulator
// entry, the discovery header). A text that does not fit is cut before the first character that
// would not fit, so a field never overruns and never ends in half a character.
namespace FixedText {

// The bytes of `text` in UTF-8, cut to at most maxBytes on a character boundary.
QByteArray utf8Prefix(const QString& text, int maxBytes);
// Writes the longest prefix of whole characters that fits in fieldSize - 1 bytes, then zeros to the
// end of the field. writeLocal8Bit encodes with the system's 8-bit code page instead of UTF-8.
void writeUtf8(char* field, int fieldSize, const QString& text);
void writeLocal8Bit(char* field, int fieldSize, const QString& text);
// Reads a NUL-terminated UTF-8 field, never past fieldSize bytes.
QString readUtf8(const char* field, int fieldSize);

} // namespace FixedText
