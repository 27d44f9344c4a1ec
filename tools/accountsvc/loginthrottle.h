#pragma once

#include <QHash>
#include <QString>
#include <functional>
#include <mutex>

// How fast failed logins lock an account or an address (see LoginThrottle).
struct struThrottlePolicy
{
    int freeAccountFailures = 3;
    int freeAddressFailures = 10;
    qint64 baseLockMs = 1000;
    qint64 maxLockMs = 15 * 60 * 1000;
    qint64 forgetAfterMs = 60 * 60 * 1000;
    int maxEntries = 10000; // per table
};

// Slows down password guessing: failed logins are counted per account and per client address, and
// after a few free failures each further one locks that account (or address) for a time that
// doubles with every failure (1 s, 2 s, 4 s, ... up to 15 min). While locked, a login is refused
// before its password is even checked, the right password included. A successful login clears the
// account's count; an address's count is forgotten an hour after its last failure. Both tables are
// bounded, so a flood of invented names cannot grow them without end. Thread-safe.
class LoginThrottle
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    explicit LoginThrottle(const struThrottlePolicy& policy = struThrottlePolicy(), Clock clock = Clock());

    // Milliseconds until the next login of this account from this address may be tried; 0: now.
    qint64 lockedForMs(const QString& account, const QString& address);
    // Counts a failure; returns a note for the request log (counts and the lock that follows).
    QString recordFailure(const QString& account, const QString& address);
    void recordSuccess(const QString& account);

private:
    struct struEntry
    {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 lockedUntilMs = 0;
    };
    using Table = QHash<QString, struEntry>;

    qint64 now() const;
    qint64 lockAfter(int failures, int free) const;
    void prune(Table& table, qint64 nowMs);
    struEntry& count(Table& table, const QString& key, int free, qint64 nowMs);
    qint64 remaining(Table& table, const QString& key, qint64 nowMs);

    struThrottlePolicy m_policy;
    Clock m_clock;
    std::mutex m_mutex;
    Table m_accounts;
    Table m_addresses;
};
