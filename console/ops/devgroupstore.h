#pragma once

#include "commresult.h"

#include <QObject>
#include <QStringList>
#include <QVector>

class QTimer;

// The console's device groups, kept in a JSON file of its data directory so that they last across
// restarts. A device is an agent PC, named by its computer name; a device never seen before lands in
// "默认分组". Every change is written before it is confirmed; a change that cannot be written is
// refused and leaves the groups as they were. Devices heard for the first time are the exception: a
// large LAN brings hundreds at once, so they are written together, a moment after the first of them
// (with the next change, or at the end at the latest); a write that fails is logged and tried again.
class DevGroupStore : public QObject
{
    Q_OBJECT
public:
    struct Group
    {
        QString id;
        QString name;
        QStringList devices;
    };

    static QString DefaultGroupName() { return QStringLiteral("默认分组"); }
    static QString DefaultGroupId() { return QStringLiteral("default"); }
    // <dataDir>/devGroups.json
    static QString FilePathIn(const QString& dataDir);

    explicit DevGroupStore(const QString& filePath, QObject* parent = nullptr);
    ~DevGroupStore() override;

    // Reads the file. A missing file gives the default group alone; an unreadable one is logged, kept
    // beside as "<file>.bad" and replaced by the default group.
    CCommResult Load();
    QList<Group> Groups() const { return m_groups; }
    QString GroupOf(const QString& device) const; // empty when unknown

    // Into the default group when unknown (written within newDeviceSaveMs); refused (72) once the
    // store keeps maxDevices devices.
    CCommResult AddDevice(const QString& device);
    // Writes the devices added since the last write now; true when nothing is left unwritten.
    bool SaveNewDevices();
    static constexpr int kNewDeviceSaveMs = 500;
    void SetMaxDevices(int maxDevices) { m_maxDevices = maxDevices; }
    int DeviceCount() const;
    CCommResult CreateGroup(const QString& name);
    CCommResult MoveDevices(const QStringList& devices, const QString& toGroup);
    CCommResult DeleteGroup(const QString& name); // its devices go to the default group

signals:
    // Confirmations for the device list.
    void sigMoveDev2NewGrpFinished(CCommResult cRet);
    void sigDeleteGrpFinished(CCommResult cRet);
    void sigGroupsChanged();

public slots:
    // The device list's requests. The device lists are the groups' memberships after the change;
    // the devices named for the new group are moved into it.
    void slMoveDev2NewGrp(QVector<QString> vstrOldDevNames, QString strOldGrpName, QString strOldGrpId,
                          QVector<QString> vstrNewDevNames, QString strNewGrpName, QString strNewGrpId);
    void slMoveDev2NewGrpNDeleteOldGrp(QVector<QString> vstrOldDevNames, QString strOldGrpName,
                                       QString strOldGrpId, QVector<QString> vstrNewDevNames,
                                       QString strNewGrpName, QString strNewGrpId);

private:
    int IndexOf(const QString& name) const;
    CCommResult Commit(const QList<Group>& groups, int nextId);
    bool Write(const QList<Group>& groups, int nextId) const;
    static QList<Group> DefaultGroups();

    QString m_filePath;
    QList<Group> m_groups;
    QTimer* m_pSaveTimer = nullptr;
    bool m_bNewUnsaved = false;     // devices added and not yet written
    bool m_bSaveFailLogged = false; // a failed write of new devices is logged once until one succeeds
    int m_nextId = 1;
    int m_maxDevices = 1000;
};
