#include "fixedtextfield.h"

#include <cstring>

namespace {

void fill(char* field, int fieldSize, const QByteArray& bytes)
{
    std::memset(field, 0, size_t(fieldSize));
    std::memcpy(field, bytes.constData(), size_t(qMin(bytes.size(), fieldSize - 1)));
}

// An arbitrary 8-bit encoding cannot be cut by looking at bytes: whole characters are dropped until
// the encoding fits.
QByteArray local8BitPrefix(QString text, int maxBytes)
{
    // Every character takes at least one byte, so no more than maxBytes of them can fit.
    if (text.size() > maxBytes)
        text.truncate(maxBytes);
    QByteArray bytes = text.toLocal8Bit();
    while (bytes.size() > maxBytes && !text.isEmpty()) {
        const int n = text.size();
        const bool pair = n >= 2 && text.at(n - 1).isLowSurrogate() && text.at(n - 2).isHighSurrogate();
        text.chop(pair ? 2 : 1);
        bytes = text.toLocal8Bit();
    }
    return bytes;
}

} // namespace

namespace FixedText {

QByteArray utf8Prefix(const QString& text, int maxBytes)
{
    if (maxBytes <= 0)
        return QByteArray();
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxBytes)
        return bytes;
    int cut = maxBytes;
    // Step back over continuation bytes so that the cut falls before the lead byte of a character.
    while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    bytes.truncate(cut);
    return bytes;
}

void writeUtf8(char* field, int fieldSize, const QString& text)
{
    fill(field, fieldSize, utf8Prefix(text, fieldSize - 1));
}

void writeLocal8Bit(char* field, int fieldSize, const QString& text)
{
    fill(field, fieldSize, local8BitPrefix(text, fieldSize - 1));
}

QString readUtf8(const char* field, int fieldSize)
{
    const void* end = std::memchr(field, 0, size_t(fieldSize));
    const int len = end ? int(static_cast<const char*>(end) - field) : fieldSize;
    return QString::fromUtf8(field, len);
}

} // namespace FixedText
