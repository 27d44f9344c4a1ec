// The device group store: new PCs land in the default group, groups are created, PCs moved and groups
// deleted with the device list's confirmations, and all of it is there again after a restart; a file
// that cannot be read or written loses nothing.
#include "devgroupstore.h"
#include "opercodes.h"

#include <QtTest>

namespace {
int devicesOnDisk(const QString& path)
{
    DevGroupStore onDisk(path);
    onDisk.Load();
    return onDisk.DeviceCount();
}

QStringList namesOf(const DevGroupStore& s)
{
    QStringList names;
    for (const auto& g : s.Groups())
        names << g.name + ":" + g.devices.join(',');
    return names;
}
} // namespace

class TstDevGroupStore : public QObject
{
    Q_OBJECT
private slots:
    void groupsLastAcrossRestarts();
    void badFilesLoseNothing();
    void aLanHeardAtOnceIsWrittenTogether();
};

void TstDevGroupStore::groupsLastAcrossRestarts()
{
    QTemporaryDir home;
    const QString path = DevGroupStore::FilePathIn(home.path());
    {
        DevGroupStore store(path);
        QVERIFY(store.Load().ok());
        QCOMPARE(namesOf(store), QStringList{QStringLiteral("默认分组:")});
        QVERIFY(store.AddDevice(QStringLiteral("pc-a")).ok());
        QVERIFY(store.AddDevice(QStringLiteral("pc-b")).ok());
        QVERIFY(store.AddDevice(QStringLiteral("pc-c")).ok());
        QVERIFY(store.AddDevice(QStringLiteral("pc-a")).ok()); // known: stays where it is
        QVERIFY(store.CreateGroup(QStringLiteral("一楼")).ok());
        QVERIFY(store.CreateGroup(QStringLiteral(" 二楼 ")).ok());
        QCOMPARE(store.CreateGroup(QStringLiteral("一楼")).iRet, OpsCode::GroupExists);
        QCOMPARE(store.CreateGroup(QStringLiteral("  ")).iRet, OpsCode::GroupNameEmpty);

        // The device list's move request: confirmed, and a move into the same group refused with 6.
        QList<CCommResult> moved;
        connect(&store, &DevGroupStore::sigMoveDev2NewGrpFinished, [&](CCommResult r) { moved << r; });
        store.slMoveDev2NewGrp({QStringLiteral("pc-a"), QStringLiteral("pc-c")}, QStringLiteral("默认分组"),
                               DevGroupStore::DefaultGroupId(), {QStringLiteral("pc-b")},
                               QStringLiteral("一楼"), QStringLiteral("g1"));
        store.slMoveDev2NewGrp({}, QStringLiteral("一楼"), QStringLiteral("g1"), {QStringLiteral("pc-b")},
                               QStringLiteral("一楼"), QStringLiteral("g1"));
        QCOMPARE(moved.count(), 2);
        QCOMPARE(moved.at(0).iRet, 0);
        const CCommResult same = moved.at(1);
        QCOMPARE(same.iRet, OpsCode::SameGroup);
        QCOMPARE(same.str, QStringLiteral("目标组与源组相同"));
        QVERIFY(store.MoveDevices({QStringLiteral("pc-c")}, QStringLiteral("二楼")).ok());
        QCOMPARE(store.MoveDevices({QStringLiteral("pc-c")}, QStringLiteral("三楼")).iRet,
                 OpsCode::GroupUnknown);
        QCOMPARE(store.GroupOf(QStringLiteral("pc-b")), QStringLiteral("一楼"));
    }
    DevGroupStore again(path);
    QVERIFY(again.Load().ok());
    QCOMPARE(namesOf(again), (QStringList{QStringLiteral("默认分组:pc-a"), QStringLiteral("一楼:pc-b"),
                                          QStringLiteral("二楼:pc-c")}));
    // Deleting a group sends its PCs to the default group; the default group stays.
    QList<CCommResult> deleted;
    connect(&again, &DevGroupStore::sigDeleteGrpFinished, [&](CCommResult r) { deleted << r; });
    again.slMoveDev2NewGrpNDeleteOldGrp({QStringLiteral("pc-b")}, QStringLiteral("一楼"),
                                        QStringLiteral("g1"),
                                        {QStringLiteral("pc-a"), QStringLiteral("pc-b")},
                                        QStringLiteral("默认分组"), DevGroupStore::DefaultGroupId());
    QCOMPARE(deleted.count(), 1);
    QVERIFY(deleted.first().ok());
    QCOMPARE(again.DeleteGroup(QStringLiteral("默认分组")).iRet, OpsCode::GroupProtected);
    QVERIFY(again.CreateGroup(QStringLiteral("三楼")).ok()); // ids are not reused
    DevGroupStore third(path);
    QVERIFY(third.Load().ok());
    QCOMPARE(namesOf(third), (QStringList{QStringLiteral("默认分组:pc-a,pc-b"), QStringLiteral("二楼:pc-c"),
                                          QStringLiteral("三楼:")}));
    QCOMPARE(third.Groups().last().id, QStringLiteral("g3"));
}

void TstDevGroupStore::badFilesLoseNothing()
{
    QTemporaryDir home;
    const QString path = DevGroupStore::FilePathIn(home.path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("{\"groups\":[{\"name\":\"一楼\",");
    f.close();
    DevGroupStore store(path);
    QCOMPARE(store.Load().iRet, OpsCode::GroupStoreFailed);
    QVERIFY(QFile::exists(path + ".bad")); // kept for the user
    QCOMPARE(namesOf(store), QStringList{QStringLiteral("默认分组:")});
    QVERIFY(store.AddDevice(QStringLiteral("pc-a")).ok());
    QVERIFY(store.SaveNewDevices());

    // Damaged after two good writes (a full disk, a crash): the groups come back from the backup,
    // and the next change does not make the damaged file the backup.
    QVERIFY(store.CreateGroup(QStringLiteral("二楼")).ok());
    QVERIFY(QFile::exists(path + ".bak"));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("{\"groups\":[");
    f.close();
    DevGroupStore restarted(path);
    QVERIFY(restarted.Load().ok());
    QCOMPARE(namesOf(restarted), (QStringList{QStringLiteral("默认分组:pc-a")}));
    QVERIFY(restarted.CreateGroup(QStringLiteral("三楼")).ok());
    QFile::remove(path);
    QFile::copy(path + ".bak", path);
    DevGroupStore fromBak(path);
    QVERIFY(fromBak.Load().ok());
    QCOMPARE(namesOf(fromBak), (QStringList{QStringLiteral("默认分组:pc-a")}));

    // A file that cannot be written: the change is refused and the groups stay as they were.
    QFile blocker(home.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DevGroupStore unwritable(home.filePath("blocker/devGroups.json"));
    QVERIFY(unwritable.Load().ok());
    const CCommResult r = unwritable.CreateGroup(QStringLiteral("一楼"));
    QCOMPARE(r.iRet, OpsCode::GroupStoreFailed);
    QCOMPARE(r.str, QStringLiteral("保存分组失败"));
    QCOMPARE(namesOf(unwritable), QStringList{QStringLiteral("默认分组:")});
    // A PC heard for the first time stays listed in the default group while its write fails.
    QVERIFY(unwritable.AddDevice(QStringLiteral("pc-x")).ok());
    QVERIFY(!unwritable.SaveNewDevices());
    QCOMPARE(unwritable.GroupOf(QStringLiteral("pc-x")), DevGroupStore::DefaultGroupName());
}

// Hundreds of PCs heard for the first time are one write a moment later, not one each; a PC added
// just before the end is written at the end.
void TstDevGroupStore::aLanHeardAtOnceIsWrittenTogether()
{
    QTemporaryDir home;
    const QString path = DevGroupStore::FilePathIn(home.path());
    {
        DevGroupStore store(path);
        QVERIFY(store.Load().ok());
        for (int i = 0; i < 300; ++i)
            QVERIFY(store.AddDevice(QStringLiteral("pc-%1").arg(i)).ok());
        QCOMPARE(store.GroupOf(QStringLiteral("pc-299")), DevGroupStore::DefaultGroupName());
        QCOMPARE(devicesOnDisk(path), 0);
        QTRY_COMPARE_WITH_TIMEOUT(devicesOnDisk(path), 300, 5000);
        QVERIFY(store.AddDevice(QStringLiteral("late")).ok());
        QVERIFY(store.CreateGroup(QStringLiteral("一楼")).ok()); // a change writes what was added too
        QCOMPARE(devicesOnDisk(path), 301);
        QVERIFY(store.AddDevice(QStringLiteral("last")).ok());
    }
    QCOMPARE(devicesOnDisk(path), 302);
}

QTEST_GUILESS_MAIN(TstDevGroupStore)
#include "tst_devgroupstore.moc"
