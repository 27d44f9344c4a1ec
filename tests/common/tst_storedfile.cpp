// The stored files of a data directory (simusInfo.ini, data.data, a JSON store like devGroups.json)
// through a full disk, damage and other local users: nothing written half, nothing lost, nothing
// readable by others.
#include "debuglog.h"
#include "loginstore.h"
#include "messagecatcher.h"
#include "simusettings.h"
#include "storedfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool ownerOnly(const QString& path)
{
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    return QFileInfo::exists(path) && !(QFileInfo(path).permissions() & others);
}

} // namespace

class TestStoredFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fullDiskKeepsEveryStoredFile();
    void damagedFilesFallBackToTheirBackup();
    void storedFilesAndLogsAreOwnerOnly();

private:
    std::unique_ptr<QTemporaryDir> m_pHome;
    std::unique_ptr<MessageCatcher> m_pMessages;
};

void TestStoredFile::init()
{
    m_pHome = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pHome->isValid());
    SimuSettings::setDataDir(m_pHome->path());
    m_pMessages = std::make_unique<MessageCatcher>();
}

void TestStoredFile::cleanup()
{
    m_pMessages.reset();
    SimuSettings::setDataDir(QString());
    m_pHome.reset();
}

// A 256 KiB disk: fill it, then every stored file must keep its content, the failure must be
// logged, and once space is back the next write goes through.
void TestStoredFile::fullDiskKeepsEveryStoredFile()
{
    if (geteuid() != 0)
        QSKIP("needs root to mount a small tmpfs");
    const QString disk = m_pHome->filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    if (!run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=256k", "tmpfs", disk}))
        QSKIP("cannot mount a tmpfs here (container without the capability)");
    const auto unmount = qScopeGuard([&] { run(QStringLiteral("umount"), {"-l", disk}); });
    SimuSettings::setDataDir(disk);

    SimuSettings::setDir(QStringLiteral("/opt/ldplayer"));
    SimuSettings::setPcNickName(QStringLiteral("一楼-01"));
    SimuSettings::setValue(QStringLiteral("account/url"), QStringLiteral("https://acc.example:8750"));
    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10086"), QStringLiteral("pw")));
    const QString groups = disk + QStringLiteral("/devGroups.json");
    QVERIFY(StoredFile::write(groups, R"({"groups":[{"name":"一楼"}],"nextId":2})"));
    const QByteArray iniBefore = readAll(SimuSettings::iniPath());
    const QByteArray loginBefore = readAll(LoginStore::defaultPath());
    const QByteArray groupsBefore = readAll(groups);
    QVERIFY(!iniBefore.isEmpty() && !loginBefore.isEmpty());

    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    const QString big(20000, QLatin1Char('y')); // needs blocks the disk does not have
    SimuSettings::setPcName(big);
    QVERIFY(!LoginStore::rememberForAutoLogin(QStringLiteral("10087"), big));
    QVERIFY(!StoredFile::write(groups, big.toUtf8()));

    QCOMPARE(readAll(SimuSettings::iniPath()), iniBefore);
    QCOMPARE(readAll(LoginStore::defaultPath()), loginBefore);
    QCOMPARE(readAll(groups), groupsBefore);
    QVERIFY2(m_pMessages->contains(QStringLiteral("not written (disk full")),
             "the lost settings write was not logged");
    QCOMPARE(SimuSettings::getDir().str, QStringLiteral("/opt/ldplayer"));
    QCOMPARE(LoginStore::readLastUserName(), QStringLiteral("10086"));

    QVERIFY(QFile::remove(filler.fileName()));
    SimuSettings::setPcName(QStringLiteral("pc-7"));
    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10087"), QStringLiteral("pw2")));
    QCOMPARE(SimuSettings::getPcName().str, QStringLiteral("pc-7"));
    QCOMPARE(SimuSettings::getPcNickName().str, QStringLiteral("一楼-01"));
    QCOMPARE(LoginStore::readLastUserName(), QStringLiteral("10087"));
}

// A file found empty or damaged (a crash of another writer, a disk fault) is read from the content
// before its last write, and the settings file is put back in place.
void TestStoredFile::damagedFilesFallBackToTheirBackup()
{
    SimuSettings::setDir(QStringLiteral("/opt/memu"));
    SimuSettings::setRunLimit(7); // the backup now holds the folder
    {
        QFile ini(SimuSettings::iniPath());
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }
    QCOMPARE(SimuSettings::getDir().str, QStringLiteral("/opt/memu"));
    QVERIFY(readAll(SimuSettings::iniPath()).contains("/opt/memu"));

    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10086"), QStringLiteral("pw")));
    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10087"), QStringLiteral("pw")));
    for (const QByteArray& damage : {QByteArray(), QByteArray("\x01garbage, not a login store")}) {
        QFile data(LoginStore::defaultPath());
        QVERIFY(data.open(QIODevice::WriteOnly | QIODevice::Truncate));
        data.write(damage);
        data.close();
        LoginStore store;
        store.loadLoginStore();
        QString last;
        QMap<QString, struLoginRecord> records;
        store.getLoginRecords(last, records);
        QCOMPARE(last, QStringLiteral("10086"));
        QCOMPARE(records.value(QStringLiteral("10086")).strPwd, QStringLiteral("pw"));
    }
    // A damaged file never becomes the backup: the next write keeps the good one.
    QVERIFY(LoginStore(LoginStore::defaultPath())
                .saveLoginRecord(struLoginRecord{QStringLiteral("1"), QStringLiteral("x"), true, true}));
    QVERIFY(!readAll(LoginStore::defaultPath() + QStringLiteral(".bak")).contains("garbage"));

    const QString groups = m_pHome->filePath(QStringLiteral("devGroups.json"));
    QVERIFY(StoredFile::write(groups, "v1"));
    QVERIFY(StoredFile::write(groups, "v2"));
    QVERIFY(QFile::resize(groups, 0));
    bool fromBackup = false;
    QCOMPARE(StoredFile::read(groups, StoredFile::Validator(), &fromBackup), QByteArray("v1"));
    QVERIFY(fromBackup);
    QVERIFY(m_pMessages->contains(QStringLiteral("its backup is used")));
}

void TestStoredFile::storedFilesAndLogsAreOwnerOnly()
{
    // A settings file that an older version left readable by everyone becomes owner-only too.
    QFile old(SimuSettings::iniPath());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("[common]\npcName=old\n");
    old.close();
    QVERIFY(old.setPermissions(old.permissions() | QFileDevice::ReadOther | QFileDevice::ReadGroup));
    SimuSettings::setPcNickName(QStringLiteral("nick"));
    SimuSettings::setPcNickName(QStringLiteral("nick2"));
    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10086"), QStringLiteral("secret")));
    QVERIFY(LoginStore::rememberForAutoLogin(QStringLiteral("10086"), QStringLiteral("secret2")));
    const QString logDir = SimuSettings::logDir();
    DebugLog::install(logDir);
    qWarning("a line for the log file");
    DebugLog::uninstall();

    const QStringList files = {SimuSettings::iniPath(), SimuSettings::iniPath() + QStringLiteral(".bak"),
                               LoginStore::defaultPath(), LoginStore::defaultPath() + QStringLiteral(".bak"),
                               logDir};
    for (const QString& path : files)
        QVERIFY2(ownerOnly(path), qPrintable(path));
    const QStringList logs = QDir(logDir).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY2(ownerOnly(logDir + QLatin1Char('/') + logs.first()), qPrintable(logs.first()));
    QCOMPARE(SimuSettings::getPcName().str, QStringLiteral("old"));
}

QTEST_GUILESS_MAIN(TestStoredFile)
#include "tst_storedfile.moc"
