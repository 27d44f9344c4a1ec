#include "simuinfo.h"

#include <cstring>

namespace {

// Cuts UTF-8 bytes to at most maxBytes without splitting a multi-byte sequence.
QByteArray cutUtf8(QByteArray bytes, int maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    int cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    bytes.truncate(cut);
    return bytes;
}

// Cuts a text in an arbitrary 8-bit encoding: drops whole characters until the encoding fits.
QByteArray cutLocal8Bit(QString text, int maxBytes)
{
    // Every character takes at least one byte, so no more than maxBytes of them can fit.
    if (text.size() > maxBytes)
        text.truncate(maxBytes);
    QByteArray bytes = text.toLocal8Bit();
    while (bytes.size() > maxBytes && !text.isEmpty()) {
        int drop = 1;
        if (text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate() &&
            text.at(text.size() - 2).isHighSurrogate())
            drop = 2;
        text.chop(drop);
        bytes = text.toLocal8Bit();
    }
    return bytes;
}

void fill(char* field, int fieldSize, const QByteArray& bytes)
{
    std::memset(field, 0, size_t(fieldSize));
    std::memcpy(field, bytes.constData(), size_t(qMin(bytes.size(), fieldSize - 1)));
}

} // namespace

namespace SimuInfoText {

void copyUtf8(char* field, int fieldSize, const QString& text)
{
    fill(field, fieldSize, cutUtf8(text.toUtf8(), fieldSize - 1));
}

void copyLocal8Bit(char* field, int fieldSize, const QString& text)
{
    fill(field, fieldSize, cutLocal8Bit(text, fieldSize - 1));
}

QString readUtf8(const char* field, int fieldSize)
{
    const void* end = std::memchr(field, 0, size_t(fieldSize));
    const int len = end ? int(static_cast<const char*>(end) - field) : fieldSize;
    return QString::fromUtf8(field, len);
}

} // namespace SimuInfoText

void SimuInfo::clear()
{
    std::memset(static_cast<void*>(this), 0, sizeof(SimuInfo));
}

void SimuInfo::setIdx(const QString& idx)
{
    SimuInfoText::copyUtf8(memuIdx, kIdxSize, idx);
}

void SimuInfo::setIdxLocal8Bit(const QString& idx)
{
    SimuInfoText::copyLocal8Bit(memuIdx, kIdxSize, idx);
}

void SimuInfo::setName(const QString& name)
{
    SimuInfoText::copyUtf8(simuName, kNameSize, name);
}

QString SimuInfo::idx() const
{
    return SimuInfoText::readUtf8(memuIdx, kIdxSize);
}

QString SimuInfo::name() const
{
    return SimuInfoText::readUtf8(simuName, kNameSize);
}

QString SimuInfo::adbSerial() const
{
    return QStringLiteral("127.0.0.1:%1").arg(adbPort());
}
