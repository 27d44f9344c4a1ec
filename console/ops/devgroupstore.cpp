#include "devgroupstore.h"

#include "opercodes.h"
#include "storedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

QJsonObject toJson(const DevGroupStore::Group& g)
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), g.id);
    o.insert(QStringLiteral("name"), g.name);
    o.insert(QStringLiteral("devices"), QJsonArray::fromStringList(g.devices));
    return o;
}

DevGroupStore::Group fromJson(const QJsonObject& o)
{
    DevGroupStore::Group g;
    g.id = o.value(QStringLiteral("id")).toString();
    g.name = o.value(QStringLiteral("name")).toString();
    for (const QJsonValue& v : o.value(QStringLiteral("devices")).toArray())
        g.devices.append(v.toString());
    return g;
}

// A damaged file is neither read nor kept as the backup.
bool isGroups(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).isObject();
}

} // namespace

QString DevGroupStore::FilePathIn(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("devGroups.json"));
}

DevGroupStore::DevGroupStore(const QString& filePath, QObject* parent)
    : QObject(parent), m_filePath(filePath), m_groups(DefaultGroups()), m_pSaveTimer(new QTimer(this))
{
    m_pSaveTimer->setSingleShot(true);
    m_pSaveTimer->setInterval(kNewDeviceSaveMs);
    connect(m_pSaveTimer, &QTimer::timeout, this, &DevGroupStore::SaveNewDevices);
}

DevGroupStore::~DevGroupStore()
{
    SaveNewDevices();
}

QList<DevGroupStore::Group> DevGroupStore::DefaultGroups()
{
    return {Group{DefaultGroupId(), DefaultGroupName(), {}}};
}

CCommResult DevGroupStore::Load()
{
    m_groups = DefaultGroups();
    m_nextId = 1;
    if (!QFileInfo::exists(m_filePath))
        return CCommResult();
    bool fromBackup = false;
    const QByteArray bytes = StoredFile::read(m_filePath, isGroups, &fromBackup);
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject()) {
        qWarning().noquote() << "device groups:" << m_filePath << "and its backup unreadable, kept as .bad";
        QFile::remove(m_filePath + QStringLiteral(".bad"));
        QFile::rename(m_filePath, m_filePath + QStringLiteral(".bad"));
        return CCommResult::failure(OpsCode::GroupStoreFailed, QStringLiteral("读取分组失败"), m_filePath);
    }
    if (fromBackup)
        qWarning().noquote() << "device groups:" << m_filePath << "unreadable, the backup's groups are used";
    m_nextId = qMax(1, doc.object().value(QStringLiteral("nextId")).toInt());
    for (const QJsonValue& v : doc.object().value(QStringLiteral("groups")).toArray()) {
        const Group g = fromJson(v.toObject());
        if (g.name.isEmpty())
            continue;
        if (g.name == DefaultGroupName())
            m_groups[0].devices = g.devices;
        else if (IndexOf(g.name) < 0)
            m_groups.append(g);
    }
    return CCommResult();
}

int DevGroupStore::IndexOf(const QString& name) const
{
    for (int i = 0; i < m_groups.size(); ++i) {
        if (m_groups.at(i).name == name)
            return i;
    }
    return -1;
}

QString DevGroupStore::GroupOf(const QString& device) const
{
    for (const Group& g : m_groups) {
        if (g.devices.contains(device))
            return g.name;
    }
    return QString();
}

bool DevGroupStore::Write(const QList<Group>& groups, int nextId) const
{
    QJsonArray arr;
    for (const Group& g : groups)
        arr.append(toJson(g));
    QJsonObject root;
    root.insert(QStringLiteral("groups"), arr);
    root.insert(QStringLiteral("nextId"), nextId);
    return StoredFile::write(m_filePath, QJsonDocument(root).toJson(), isGroups);
}

CCommResult DevGroupStore::Commit(const QList<Group>& groups, int nextId)
{
    if (!Write(groups, nextId)) {
        return CCommResult::failure(OpsCode::GroupStoreFailed, QStringLiteral("保存分组失败"),
                                    m_filePath + ": not written, the previous groups stay");
    }
    m_groups = groups;
    m_nextId = nextId;
    m_bNewUnsaved = false; // the groups written hold every device added so far
    m_pSaveTimer->stop();
    emit sigGroupsChanged();
    return CCommResult();
}

bool DevGroupStore::SaveNewDevices()
{
    if (!m_bNewUnsaved)
        return true;
    if (!Write(m_groups, m_nextId)) {
        if (!m_bSaveFailLogged)
            qWarning().noquote() << "device groups:" << m_filePath
                                 << "not written; the PCs heard for the first time are kept in the default "
                                    "group and written with the next change";
        m_bSaveFailLogged = true;
        return false;
    }
    m_bNewUnsaved = false;
    m_bSaveFailLogged = false;
    return true;
}

CCommResult DevGroupStore::AddDevice(const QString& device)
{
    if (device.isEmpty() || !GroupOf(device).isEmpty())
        return CCommResult();
    if (DeviceCount() >= m_maxDevices)
        return CCommResult::failure(OpsCode::GroupStoreFailed, QStringLiteral("保存分组失败"),
                                    QStringLiteral("%1 devices kept, the limit (console/maxPcs): %2 and "
                                                   "further new ones stay in the default group unsaved")
                                        .arg(m_maxDevices)
                                        .arg(device));
    m_groups[0].devices.append(device);
    m_bNewUnsaved = true;
    if (!m_pSaveTimer->isActive())
        m_pSaveTimer->start();
    return CCommResult();
}

int DevGroupStore::DeviceCount() const
{
    int n = 0;
    for (const Group& g : m_groups)
        n += g.devices.size();
    return n;
}

CCommResult DevGroupStore::CreateGroup(const QString& name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return CCommResult::failure(OpsCode::GroupNameEmpty, QStringLiteral("分组名不能为空"));
    if (IndexOf(trimmed) >= 0)
        return CCommResult::failure(OpsCode::GroupExists, QStringLiteral("分组\"%1\"已存在").arg(trimmed));
    QList<Group> groups = m_groups;
    groups.append(Group{QStringLiteral("g%1").arg(m_nextId), trimmed, {}});
    return Commit(groups, m_nextId + 1);
}

CCommResult DevGroupStore::MoveDevices(const QStringList& devices, const QString& toGroup)
{
    const int to = IndexOf(toGroup);
    if (to < 0)
        return CCommResult::failure(OpsCode::GroupUnknown, QStringLiteral("分组\"%1\"不存在").arg(toGroup));
    for (const QString& d : devices) {
        if (GroupOf(d) == toGroup)
            return CCommResult::failure(OpsCode::SameGroup, QStringLiteral("目标组与源组相同"));
    }
    QList<Group> groups = m_groups;
    for (Group& g : groups) {
        for (const QString& d : devices)
            g.devices.removeAll(d);
    }
    groups[to].devices.append(devices);
    return Commit(groups, m_nextId);
}

CCommResult DevGroupStore::DeleteGroup(const QString& name)
{
    const int at = IndexOf(name);
    if (at < 0)
        return CCommResult::failure(OpsCode::GroupUnknown, QStringLiteral("分组\"%1\"不存在").arg(name));
    if (at == 0)
        return CCommResult::failure(OpsCode::GroupProtected, QStringLiteral("默认分组不能删除"));
    QList<Group> groups = m_groups;
    groups[0].devices.append(groups.takeAt(at).devices);
    return Commit(groups, m_nextId);
}

void DevGroupStore::slMoveDev2NewGrp(QVector<QString> vstrOldDevNames, QString strOldGrpName, QString,
                                     QVector<QString> vstrNewDevNames, QString strNewGrpName, QString)
{
    CCommResult r;
    if (strOldGrpName == strNewGrpName) {
        r = CCommResult::failure(OpsCode::SameGroup, QStringLiteral("目标组与源组相同"));
    } else {
        QStringList moved;
        for (const QString& d : vstrNewDevNames) {
            if (GroupOf(d) != strNewGrpName && !vstrOldDevNames.contains(d))
                moved.append(d);
        }
        r = MoveDevices(moved, strNewGrpName);
    }
    emit sigMoveDev2NewGrpFinished(r);
}

void DevGroupStore::slMoveDev2NewGrpNDeleteOldGrp(QVector<QString>, QString strOldGrpName, QString,
                                                  QVector<QString>, QString, QString)
{
    emit sigDeleteGrpFinished(DeleteGroup(strOldGrpName));
}
