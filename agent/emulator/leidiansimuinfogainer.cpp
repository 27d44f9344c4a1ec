#include "leidiansimuinfogainer.h"

#include "launchertuning.h"
#include "simusettings.h"

#include <QProcess>
#include <QTextCodec>

CCommResult LeiDianSimuInfoGainer::GetSimusInfo(QVector<SimuInfo>& infos)
{
    infos.clear();
    const CCommResult dir = SimuSettings::getDir();
    const QStringList lines = RunList2(dir.str);
    for (int i = 0; i < lines.size() && i < kMaxSimuCount; ++i) {
        const QStringList fields = lines.at(i).split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (fields.size() < 2)
            continue; // not an instance line: never read past its end
        SimuInfo info;
        info.setIdx(fields.at(0));
        info.setName(fields.at(1));
        info.setAdbPort(adbPortOfIndex(fields.at(0)));
        infos.append(info);
    }
    CCommResult r;
    r.iRet = dir.iRet;
    return r;
}

CCommResult LeiDianSimuInfoGainer::GetSimuInfo(const QString& memuIdx, SimuInfo& info)
{
    QVector<SimuInfo> infos;
    const CCommResult r = GetSimusInfo(infos);
    if (r.iRet != 0)
        return r;
    for (const SimuInfo& one : qAsConst(infos)) {
        if (one.idx() == memuIdx) {
            info = one;
            break;
        }
    }
    return r;
}

QStringList LeiDianSimuInfoGainer::RunList2(const QString& dir)
{
    QProcess process;
    const QString program = ToolProcess::nativeProgram(dir + QStringLiteral("/dnconsole.exe"));
    if (!ToolProcess::run(process, program, {QStringLiteral("list2")}, LauncherTuning::toolTimeoutMs()))
        return QStringList();
    const QByteArray out = process.readAllStandardOutput();
    process.close();
    QTextCodec* codec = QTextCodec::codecForName("gb18030");
    const QString text = codec ? codec->toUnicode(out) : QString::fromLocal8Bit(out);
    // Lines end in "\r\n"; a bare "\n" is accepted as well.
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    lines.removeAll(QString());
    return lines;
}

int LeiDianSimuInfoGainer::adbPortOfIndex(const QString& memuIdx)
{
    return memuIdx.toInt(nullptr, 10) * 2 + 5555;
}
