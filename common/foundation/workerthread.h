#pragma once

#include <QString>
#include <Qt>

class QObject;
class QThread;

// Moves a worker onto a new thread, not started yet: the thread's start runs the worker's startSlot
// (a SLOT() text, connected with the given type), its end deletes the worker and the thread. A
// connect that fails is logged as failText. The caller starts the thread, and quits and waits for it.
QThread* newWorkerThread(QObject* worker, const char* startSlot, const QString& failText,
                         Qt::ConnectionType type = Qt::AutoConnection);
