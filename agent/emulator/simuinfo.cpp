#include "simuinfo.h"

#include "fixedtextfield.h"

#include <cstring>

void SimuInfo::clear()
{
    std::memset(static_cast<void*>(this), 0, sizeof(SimuInfo));
}

void SimuInfo::setIdx(const QString& idx)
{
    FixedText::writeUtf8(memuIdx, kIdxSize, idx);
}

void SimuInfo::setIdxLocal8Bit(const QString& idx)
{
    FixedText::writeLocal8Bit(memuIdx, kIdxSize, idx);
}

void SimuInfo::setName(const QString& name)
{
    FixedText::writeUtf8(simuName, kNameSize, name);
}

QString SimuInfo::idx() const
{
    return FixedText::readUtf8(memuIdx, kIdxSize);
}

QString SimuInfo::name() const
{
    return FixedText::readUtf8(simuName, kNameSize);
}

QString SimuInfo::adbSerial() const
{
    return QStringLiteral("127.0.0.1:%1").arg(adbPort());
}
