#include "accountdb.h"

#include <QFile>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

namespace {
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

QByteArray pbkdf2(const QString& password, const QByteArray& salt, int iterations)
{
    const QByteArray pwd = password.toUtf8();
    QByteArray out(kHashBytes, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(
        pwd.constData(), pwd.size(), reinterpret_cast<const unsigned char*>(salt.constData()), salt.size(),
        iterations, EVP_sha256(), out.size(), reinterpret_cast<unsigned char*>(out.data()));
    return ok == 1 ? out : QByteArray();
}

QByteArray randomBytes(int n)
{
    QByteArray out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n) != 1) {
        return QByteArray();
    }
    return out;
}

// A fresh random salt and the password's hash with it, for storing a new password.
bool saltAndHash(const QString& password, int iterations, QByteArray& salt, QByteArray& hash, QString& err)
{
    salt = randomBytes(kSaltBytes);
    hash = pbkdf2(password, salt, iterations);
    if (salt.isEmpty() || hash.isEmpty()) {
        err = QStringLiteral("cannot derive the password hash");
        return false;
    }
    return true;
}

// A prepared statement that finalises itself.
class Stmt
{
public:
    Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_p, nullptr); }
    ~Stmt() { sqlite3_finalize(m_p); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool valid() const { return m_p != nullptr; }
    void bind(int i, const QString& s)
    {
        const QByteArray b = s.toUtf8();
        sqlite3_bind_text(m_p, i, b.constData(), b.size(), SQLITE_TRANSIENT);
    }
    void bind(int i, const QByteArray& b)
    {
        sqlite3_bind_blob(m_p, i, b.constData(), b.size(), SQLITE_TRANSIENT);
    }
    void bind(int i, qint64 v) { sqlite3_bind_int64(m_p, i, v); }
    int step() { return sqlite3_step(m_p); }
    QString text(int col) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_p, col)),
                                 sqlite3_column_bytes(m_p, col));
    }
    QByteArray blob(int col) const
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(m_p, col)),
                          sqlite3_column_bytes(m_p, col));
    }
    qint64 int64(int col) const { return sqlite3_column_int64(m_p, col); }

private:
    sqlite3_stmt* m_p = nullptr;
};
} // namespace

QString randomHex(int bytes)
{
    return QString::fromLatin1(randomBytes(bytes).toHex());
}

AccountDb::~AccountDb()
{
    sqlite3_close(m_pDb);
}

bool AccountDb::open(const QString& path, QString& err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QByteArray file = path.toUtf8();
    if (sqlite3_open_v2(file.constData(), &m_pDb,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        err = QStringLiteral("cannot open database %1: %2").arg(path, lastError());
        return false;
    }
    sqlite3_busy_timeout(m_pDb, 5000);
    return exec("CREATE TABLE IF NOT EXISTS users ("
                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                " name TEXT NOT NULL UNIQUE,"
                " nick TEXT NOT NULL DEFAULT '',"
                " salt BLOB NOT NULL,"
                " hash BLOB NOT NULL,"
                " iterations INTEGER NOT NULL,"
                " vipinfoid INTEGER NOT NULL DEFAULT 0,"
                " logins INTEGER NOT NULL DEFAULT 0,"
                " token TEXT NOT NULL DEFAULT '')",
                err) &&
           makeOwnerOnly(path, err);
}

// The password hashes and tokens are for the service's user only (SQLite gives its journal files
// the database's permissions).
bool AccountDb::makeOwnerOnly(const QString& path, QString& err)
{
    if (QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return true;
    err = QStringLiteral("cannot make the database %1 owner-only").arg(path);
    return false;
}

bool AccountDb::addUser(const QString& name, const QString& password, const QString& nick, QString& err)
{
    QByteArray salt;
    QByteArray hash;
    if (!saltAndHash(password, kIterations, salt, hash, err))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt st(m_pDb, "INSERT INTO users (name, nick, salt, hash, iterations) VALUES (?, ?, ?, ?, ?)");
    if (!st.valid()) {
        err = lastError();
        return false;
    }
    st.bind(1, name);
    st.bind(2, nick);
    st.bind(3, salt);
    st.bind(4, hash);
    st.bind(5, qint64(kIterations));
    const int rc = st.step();
    if (rc == SQLITE_CONSTRAINT) {
        err = QStringLiteral("user %1 exists already").arg(name);
        return false;
    }
    if (rc != SQLITE_DONE) {
        err = lastError();
        return false;
    }
    return true;
}

bool AccountDb::setPassword(const QString& name, const QString& password, QString& err)
{
    QByteArray salt;
    QByteArray hash;
    if (!saltAndHash(password, kIterations, salt, hash, err))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt st(m_pDb, "UPDATE users SET salt = ?, hash = ?, iterations = ? WHERE name = ?");
    if (!st.valid()) {
        err = lastError();
        return false;
    }
    st.bind(1, salt);
    st.bind(2, hash);
    st.bind(3, qint64(kIterations));
    st.bind(4, name);
    if (st.step() != SQLITE_DONE) {
        err = lastError();
        return false;
    }
    if (sqlite3_changes(m_pDb) == 0) {
        err = QStringLiteral("no user %1").arg(name);
        return false;
    }
    return true;
}

bool AccountDb::listUsers(QVector<struAccount>& users, QString& err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    users.clear();
    Stmt st(m_pDb, "SELECT id, name, nick, vipinfoid, logins FROM users ORDER BY name");
    if (!st.valid()) {
        err = lastError();
        return false;
    }
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        struAccount acc;
        acc.id = st.int64(0);
        acc.name = st.text(1);
        acc.nick = st.text(2);
        acc.vipInfoId = int(st.int64(3));
        acc.logins = int(st.int64(4));
        users.append(acc);
    }
    if (rc != SQLITE_DONE) {
        err = lastError();
        return false;
    }
    return true;
}

AccountDb::Check AccountDb::login(const QString& name, const QString& password, const QString& token,
                                  struAccount& acc, QString& err)
{
    QByteArray salt, hash;
    int iterations = kIterations;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Stmt st(m_pDb,
                "SELECT id, name, nick, vipinfoid, logins, salt, hash, iterations FROM users WHERE name = ?");
        if (!st.valid()) {
            err = lastError();
            return Check::Error;
        }
        st.bind(1, name);
        const int rc = st.step();
        if (rc == SQLITE_ROW) {
            acc.id = st.int64(0);
            acc.name = st.text(1);
            acc.nick = st.text(2);
            acc.vipInfoId = int(st.int64(3));
            acc.logins = int(st.int64(4));
            salt = st.blob(5);
            hash = st.blob(6);
            iterations = int(st.int64(7));
        } else if (rc != SQLITE_DONE) {
            err = lastError();
            return Check::Error;
        }
    }
    // An unknown user costs the same derivation as a known one, so timing tells nothing.
    const QByteArray probe =
        pbkdf2(password, salt.isEmpty() ? QByteArray(kSaltBytes, 'x') : salt, iterations);
    if (hash.isEmpty() || probe.size() != hash.size() ||
        CRYPTO_memcmp(probe.constData(), hash.constData(), hash.size()) != 0) {
        return Check::BadCredentials;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Stmt st(m_pDb, "UPDATE users SET logins = logins + 1, token = ? WHERE id = ?");
    st.bind(1, token);
    st.bind(2, acc.id);
    if (!st.valid() || st.step() != SQLITE_DONE) {
        err = lastError();
        return Check::Error;
    }
    acc.logins += 1;
    return Check::Ok;
}

bool AccountDb::exec(const char* sql, QString& err)
{
    char* msg = nullptr;
    if (sqlite3_exec(m_pDb, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        err = QString::fromUtf8(msg ? msg : "sqlite error");
        sqlite3_free(msg);
        return false;
    }
    return true;
}

QString AccountDb::lastError() const
{
    return QString::fromUtf8(m_pDb ? sqlite3_errmsg(m_pDb) : "no database");
}
