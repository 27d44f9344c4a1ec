#pragma once

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>

#include <memory>

// Lets work that runs on other threads (a thread pool's jobs) hand its outcome to an object that may
// be gone by then: copies of the guard travel with the jobs, the object releases it when it goes,
// and a post after that does nothing.
class ObjectGuard
{
public:
    explicit ObjectGuard(QObject* pObj) : m_pShared(std::make_shared<struShared>())
    {
        m_pShared->pObj = pObj;
    }

    // Runs fn on the object's thread, unless the object is gone; false then.
    template <typename Fn> bool post(Fn fn) const
    {
        QMutexLocker lock(&m_pShared->mutex);
        if (!m_pShared->pObj)
            return false;
        QMetaObject::invokeMethod(m_pShared->pObj, std::move(fn), Qt::QueuedConnection);
        return true;
    }
    // The object goes: later posts do nothing (one under way ends first).
    void release() const
    {
        QMutexLocker lock(&m_pShared->mutex);
        m_pShared->pObj = nullptr;
    }

private:
    struct struShared
    {
        QMutex mutex;
        QObject* pObj = nullptr;
    };
    std::shared_ptr<struShared> m_pShared;
};
