#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

class QFile;

// The user-facing journal of the agent: every line goes to the main window's log pane (through
// sigAppendLog) and to "<logDir>/MMdd-hhmmss.txt", a file opened once per run. Lives on a thread of
// its own; any thread hands it a line with operLog().
class OperLoggerObj : public QObject
{
    Q_OBJECT
public:
    explicit OperLoggerObj(const QString& logDir, QObject* parent = nullptr);
    ~OperLoggerObj() override;

    // The process-wide object (set by the controller; null before and after its lifetime).
    static OperLoggerObj* instance();
    static void setInstance(OperLoggerObj* logger);

    QString fileName() const;

signals:
    void sigBeginMsgHandler(int iMsgType, int iParam, QString str, QByteArray aryParam);
    void sigAppendLog(QString str, int iIsForce);

public slots:
    void slInitOperLogger();
    void slMsgHandler(int iMsgType, int iParam, QString str, QByteArray aryParam);
    void slEmitMsgHandler(int iMsgType, int iParam, QString str, QByteArray aryParam);

private:
    QString m_logDir;
    QFile* m_pFile = nullptr;
    QMutex m_mutex;
};

// Hands one line to the process-wide operation log (forced lines reach the pane before login).
// Without a logger the line goes to the debug log only.
void operLog(const QString& line, int iIsForce = 0);
