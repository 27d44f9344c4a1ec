#include "xiaoyaosimuinfogainer.h"

#include "resultcodes.h"
#include "simunames.h"
#include "simusettings.h"

#include <QDebug>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kVmDir = QStringLiteral("/MemuHyperv VMs");
const QString kParseFailed = QStringLiteral("模拟器Memu解析失败");

QDomElement firstChild(const QDomElement& parent, const QString& tag)
{
    return parent.firstChildElement(tag);
}

// First child element `tag` whose attribute `attr` equals `value`.
QDomElement firstChildWith(const QDomElement& parent, const QString& tag, const QString& attr,
                           const QString& value)
{
    for (QDomElement e = parent.firstChildElement(tag); !e.isNull(); e = e.nextSiblingElement(tag)) {
        if (e.attribute(attr) == value)
            return e;
    }
    return QDomElement();
}

} // namespace

CCommResult XiaoYaoSimuInfoGainer::GetSimusInfo(QVector<SimuInfo>& infos)
{
    infos.clear();
    const QString dir = SimuSettings::getDir().str;
    if (dir.isEmpty())
        return CCommResult::failure(ResultCode::kNoProductDir, QStringLiteral("模拟器路径为空"),
                                    QStringLiteral("模拟器路径为空"));

    const QString vmDir = dir + kVmDir;
    const QStringList names = QDir(vmDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                                    QDir::Name | QDir::IgnoreCase);
    if (names.isEmpty())
        return CCommResult::failure(ResultCode::kNoInstances, QStringLiteral("没有创建模拟器"),
                                    QStringLiteral("没有创建模拟器"));

    for (int i = 0; i < names.size() && i < kMaxSimuCount; ++i) {
        const QString& name = names.at(i);
        if (!SimuNames::isMEmuIdx(name)) {
            // A folder the product did not make: its name would go on command lines and into files.
            qWarning().noquote() << "XiaoYaoSimuInfoGainer::GetSimusInfo: folder" << name
                                 << "is not an instance index, skipped";
            continue;
        }
        SimuInfo info;
        const CCommResult r = ParseMemuFile(vmDir + '/' + name + '/' + name + QStringLiteral(".memu"), info);
        if (r.iRet != 0) {
            qWarning() << "XiaoYaoSimuInfoGainer::GetSimusInfo:"
                       << "simuIdx:" << name << "; cRet.iRet:" << r.iRet << ";cRet.str:" << r.str
                       << "cRet.log" << r.log;
            continue;
        }
        info.setIdxLocal8Bit(name);
        infos.append(info);
    }
    return CCommResult();
}

CCommResult XiaoYaoSimuInfoGainer::GetSimuInfo(const QString& memuIdx, SimuInfo& info)
{
    const QString dir = SimuSettings::getDir().str;
    if (dir.isEmpty())
        return CCommResult::failure(ResultCode::kNoProductDir, QStringLiteral("模拟器路径为空"),
                                    QStringLiteral("模拟器路径为空"));
    const QString path = dir + kVmDir + '/' + memuIdx + '/' + memuIdx + QStringLiteral(".memu");
    if (!SimuNames::isMEmuIdx(memuIdx) || !QFileInfo(path).isFile())
        return CCommResult::failure(ResultCode::kNoSuchInstance, QStringLiteral("被控端中没有对应的模拟器"));
    return ParseMemuFile(path, info);
}

CCommResult XiaoYaoSimuInfoGainer::ParseMemuFile(const QString& path, SimuInfo& info)
{
    const QString fileName = QFileInfo(path).fileName();
    const int dot = fileName.indexOf('.');
    const QString baseName = dot < 0 ? fileName : fileName.left(dot);

    info.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return CCommResult::failure(ResultCode::kInventoryParse, QStringLiteral("模拟器memu打开失败"),
                                    path + QStringLiteral("打开失败"));

    QDomDocument doc;
    if (!doc.setContent(&file))
        return CCommResult::failure(ResultCode::kInventoryParse, kParseFailed,
                                    baseName + QStringLiteral("setContent失败"));

    const QDomElement machine = firstChild(doc.documentElement(), QStringLiteral("Machine"));
    if (machine.isNull())
        return CCommResult::failure(ResultCode::kInventoryParse, kParseFailed,
                                    baseName + QStringLiteral("没有 MemuHyperv"));
    const QDomElement hardware = firstChild(machine, QStringLiteral("Hardware"));
    if (hardware.isNull())
        return CCommResult::failure(ResultCode::kInventoryParse, kParseFailed,
                                    baseName + QStringLiteral("没有 Hardware"));
    const QDomElement props = firstChild(hardware, QStringLiteral("GuestProperties"));
    if (props.isNull())
        return CCommResult::failure(ResultCode::kInventoryParse, kParseFailed,
                                    baseName + QStringLiteral("没有 GuestProperties"));

    CCommResult r;
    QString displayName;
    const QDomElement nameTag = firstChildWith(props, QStringLiteral("GuestProperty"), QStringLiteral("name"),
                                               QStringLiteral("name_tag"));
    if (!nameTag.isNull()) {
        displayName = nameTag.attribute(QStringLiteral("value"));
    } else {
        // Not an error: the instance simply has no name of its own.
        r.str = kParseFailed;
        r.log = baseName + QStringLiteral("没有 GuestProperties");
        displayName = derivedName(baseName);
    }
    info.setName(displayName);
    info.setIdx(baseName);
    info.setAdbPort(adbHostPort(hardware));
    return r;
}

QString XiaoYaoSimuInfoGainer::derivedName(const QString& baseName)
{
    QString name = baseName;
    const QString product = QStringLiteral("逍遥模拟器");
    if (name.contains(QStringLiteral("MEmu_")))
        return name.replace(QStringLiteral("MEmu_"), product);
    return name.replace(QStringLiteral("MEmu"), product);
}

int XiaoYaoSimuInfoGainer::adbHostPort(const QDomElement& hardware)
{
    const QDomElement nat = hardware.firstChildElement(QStringLiteral("Network"))
                                .firstChildElement(QStringLiteral("Adapter"))
                                .firstChildElement(QStringLiteral("NAT"));
    const QDomElement rule =
        firstChildWith(nat, QStringLiteral("Forwarding"), QStringLiteral("name"), QStringLiteral("ADB"));
    if (rule.isNull())
        return 0;
    bool ok = false;
    const int port = rule.attribute(QStringLiteral("hostport")).toInt(&ok, 10);
    return ok ? port : 0;
}
