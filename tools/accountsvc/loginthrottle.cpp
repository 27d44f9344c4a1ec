#include "loginthrottle.h"

#include <chrono>

LoginThrottle::LoginThrottle(const struThrottlePolicy& policy, Clock clock)
    : m_policy(policy), m_clock(std::move(clock))
{
}

qint64 LoginThrottle::now() const
{
    if (m_clock)
        return m_clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 LoginThrottle::lockAfter(int failures, int free) const
{
    if (failures < free)
        return 0;
    const int doublings = qMin(failures - free, 30);
    return qMin(m_policy.baseLockMs << doublings, m_policy.maxLockMs);
}

// Forgets quiet entries; when the table is still full, the one quiet for longest goes.
void LoginThrottle::prune(Table& table, qint64 nowMs)
{
    if (table.size() < m_policy.maxEntries)
        return;
    for (auto it = table.begin(); it != table.end();) {
        if (nowMs - it->lastFailureMs > m_policy.forgetAfterMs && it->lockedUntilMs <= nowMs)
            it = table.erase(it);
        else
            ++it;
    }
    while (table.size() >= m_policy.maxEntries) {
        auto oldest = table.begin();
        for (auto it = table.begin(); it != table.end(); ++it) {
            if (it->lastFailureMs < oldest->lastFailureMs)
                oldest = it;
        }
        table.erase(oldest);
    }
}

LoginThrottle::struEntry& LoginThrottle::count(Table& table, const QString& key, int free, qint64 nowMs)
{
    if (!table.contains(key))
        prune(table, nowMs);
    struEntry& e = table[key];
    if (e.failures > 0 && nowMs - e.lastFailureMs > m_policy.forgetAfterMs)
        e = struEntry();
    ++e.failures;
    e.lastFailureMs = nowMs;
    e.lockedUntilMs = nowMs + lockAfter(e.failures, free);
    return e;
}

qint64 LoginThrottle::remaining(Table& table, const QString& key, qint64 nowMs)
{
    const auto it = table.constFind(key);
    return it == table.constEnd() ? 0 : qMax<qint64>(0, it->lockedUntilMs - nowMs);
}

qint64 LoginThrottle::lockedForMs(const QString& account, const QString& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 nowMs = now();
    return qMax(remaining(m_accounts, account, nowMs), remaining(m_addresses, address, nowMs));
}

QString LoginThrottle::recordFailure(const QString& account, const QString& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 nowMs = now();
    const struEntry& acc = count(m_accounts, account, m_policy.freeAccountFailures, nowMs);
    const struEntry& addr = count(m_addresses, address, m_policy.freeAddressFailures, nowMs);
    const qint64 lockMs = qMax(acc.lockedUntilMs, addr.lockedUntilMs) - nowMs;
    return QStringLiteral("failure %1 of the account, %2 of %3; %4")
        .arg(acc.failures)
        .arg(addr.failures)
        .arg(address,
             lockMs > 0 ? QStringLiteral("locked for %1 ms").arg(lockMs) : QStringLiteral("not locked"));
}

void LoginThrottle::recordSuccess(const QString& account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts.remove(account);
}
