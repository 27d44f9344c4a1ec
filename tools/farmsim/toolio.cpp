#include "farm.h"
#include "tools.h"

#include <cstdio>

namespace farmsim {

namespace {

QByteArray withCrLf(const QString& text)
{
    return text.toUtf8() + "\r\n";
}

} // namespace

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void writeErr(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void outLine(const QString& text)
{
    writeOut(withCrLf(text));
}

void errLine(const QString& text)
{
    writeErr(withCrLf(text));
}

bool beginFarm(Farm& farm, const QString& what)
{
    QString err;
    if (farm.begin(&err))
        return true;
    errLine(what + QStringLiteral(": ") + err);
    return false;
}

bool commitFarm(Farm& farm, const QString& what)
{
    QString err;
    if (farm.commit(&err))
        return true;
    errLine(what + QStringLiteral(": ") + err);
    return false;
}

} // namespace farmsim
