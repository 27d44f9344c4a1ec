#include "workerthread.h"

#include <QDebug>
#include <QThread>

QThread* newWorkerThread(QObject* worker, const char* startSlot, const QString& failText,
                         Qt::ConnectionType type)
{
    auto* thread = new QThread;
    worker->moveToThread(thread);
    if (!QObject::connect(thread, SIGNAL(started()), worker, startSlot, type))
        qWarning().noquote() << failText;
    QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    return thread;
}
