#pragma once

#include <QString>
#include <QVector>
#include <mutex>

struct sqlite3;

// One account of the service.
struct struAccount
{
    qint64 id = 0;
    QString name;
    QString nick;
    int vipInfoId = 0;
    int logins = 0; // successful logins so far
};

// The account store: one SQLite file, users with salted PBKDF2-HMAC-SHA256 password hashes.
// All methods are safe to call from the server's worker threads.
class AccountDb
{
public:
    AccountDb() = default;
    ~AccountDb();
    AccountDb(const AccountDb&) = delete;
    AccountDb& operator=(const AccountDb&) = delete;

    // Opens (creating when missing) the database file and its table. On failure err says why.
    bool open(const QString& path, QString& err);

    bool addUser(const QString& name, const QString& password, const QString& nick, QString& err);
    bool setPassword(const QString& name, const QString& password, QString& err);
    bool listUsers(QVector<struAccount>& users, QString& err);

    enum class Check
    {
        Ok,
        BadCredentials,
        Error
    };
    // Verifies the password; on success counts the login, stores the new token and fills acc.
    Check login(const QString& name, const QString& password, const QString& token, struAccount& acc,
                QString& err);

    static constexpr int kIterations = 100000;

private:
    bool exec(const char* sql, QString& err);
    QString lastError() const;
    static bool makeOwnerOnly(const QString& path, QString& err);

    sqlite3* m_pDb = nullptr;
    std::mutex m_mutex;
};

// Random bytes from the system's cryptographic generator, as lower-case hex (2 characters a byte).
QString randomHex(int bytes);
