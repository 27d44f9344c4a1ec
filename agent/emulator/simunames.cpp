#include "simunames.h"

#include "resultcodes.h"
#include "simurecords.h"

#include <QRegularExpression>

namespace SimuNames {

bool isLdIndex(const QString& idx)
{
    static const QRegularExpression re(QStringLiteral("^[0-9]{1,%1}$").arg(kMaxLdIndexDigits));
    return re.match(idx).hasMatch();
}

bool isMEmuIdx(const QString& idx)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,%1}$").arg(kMaxIdxBytes));
    return re.match(idx).hasMatch();
}

bool isWellFormedIdx(int simuType, const QString& idx)
{
    switch (simuType) {
    case eProductMEmu:
        return isMEmuIdx(idx);
    case eProductLdPlayer:
        return isLdIndex(idx);
    default:
        return false;
    }
}

QString titleProblem(const QString& title, const QString& forbidden)
{
    if (title.isEmpty())
        return QStringLiteral("名称为空");
    for (const QChar c : title) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("名称含有控制字符(U+%1)").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        if (forbidden.contains(c))
            return QStringLiteral("名称不能含有\"%1\"").arg(c);
    }
    const int bytes = title.toUtf8().size();
    if (bytes > kMaxTitleBytes)
        return QStringLiteral("名称过长(%1字节，最多%2字节)").arg(bytes).arg(kMaxTitleBytes);
    return QString();
}

CCommResult refuseTitle(const QString& title, const QString& problem)
{
    return CCommResult::failure(ResultCode::kBadSimuName, QStringLiteral("重命名失败：%1").arg(problem),
                                QStringLiteral("title refused before the tool ran: %1 (%2 characters)")
                                    .arg(problem)
                                    .arg(title.size()));
}

} // namespace SimuNames
