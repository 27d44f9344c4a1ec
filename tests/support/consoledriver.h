#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include <functional>

// The test side of the console's test driver (ToviaSim --test-driver PATH): one command a line, one
// JSON answer a line, every wait bounded.
class ConsoleDriverClient
{
public:
    // Connects, retrying while `alive` holds (the console starting), at most timeoutMs.
    bool connect(const QString& path, int timeoutMs, const std::function<bool()>& alive, QString& error);
    // The answer to one command; {"error":...} when none came within timeoutMs.
    QJsonObject call(const QString& line, int timeoutMs = 10000);
    // Dumps until `done` holds, bounded; returns the last dump (printed when `done` never held).
    QJsonObject waitDump(int timeoutMs, const std::function<bool(const QJsonObject&)>& done);
    void abort() { m_socket.abort(); }

private:
    QLocalSocket m_socket;
};

// Parts of a dump: a PC by its key, a row of it by its emulator index, that row's state (-100 if absent).
QJsonObject pcOf(const QJsonObject& dump, const QString& pc);
QJsonObject rowOf(const QJsonObject& dump, const QString& pc, const QString& idx);
int stateOf(const QJsonObject& dump, const QString& pc, const QString& idx);

// Fails the running test unless the command was answered "ok".
#define DRIVER_OK(client, line)                                                                              \
    do {                                                                                                     \
        const QJsonObject answer_ = (client).call(line);                                                     \
        QVERIFY2(answer_.value(QStringLiteral("ok")).toBool(),                                               \
                 qPrintable(QString(line) + QStringLiteral(": ") +                                           \
                            answer_.value(QStringLiteral("error")).toString()));                             \
    } while (false)
