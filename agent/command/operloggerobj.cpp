#include "operloggerobj.h"

#include "agentlogging.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

namespace {
QAtomicPointer<OperLoggerObj> g_pLogger;
constexpr int kFlushWaitMs = 1000;
} // namespace

// The line signal is wired at construction rather than when the log thread starts, so that lines
// handed over before the thread runs wait in its queue instead of being dropped.
OperLoggerObj::OperLoggerObj(const QString& logDir, QObject* parent) : QObject(parent), m_logDir(logDir)
{
    connect(this, &OperLoggerObj::sigBeginMsgHandler, this, &OperLoggerObj::slMsgHandler,
            Qt::QueuedConnection);
}

OperLoggerObj::~OperLoggerObj()
{
    g_pLogger.testAndSetOrdered(this, nullptr);
    if (m_pFile) {
        m_pFile->close();
        delete m_pFile;
    }
}

OperLoggerObj* OperLoggerObj::instance()
{
    return g_pLogger.loadAcquire();
}

void OperLoggerObj::setInstance(OperLoggerObj* logger)
{
    g_pLogger.storeRelease(logger);
}

QString OperLoggerObj::fileName() const
{
    return m_pFile ? m_pFile->fileName() : QString();
}

void OperLoggerObj::slInitOperLogger()
{
    QDir().mkpath(m_logDir);
    const QString name =
        QStringLiteral("%1/%2.txt")
            .arg(m_logDir, QDateTime::currentDateTime().toString(QStringLiteral("MMdd-hhmmss")));
    auto* file = new QFile(name);
    if (file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        m_pFile = file;
    } else {
        qCWarning(lcCommand) << "operation log: cannot open" << name << file->errorString();
        delete file;
    }
}

void OperLoggerObj::slMsgHandler(int iMsgType, int iParam, QString str, QByteArray aryParam)
{
    Q_UNUSED(iMsgType);
    Q_UNUSED(aryParam);
    QMutexLocker lock(&m_mutex);
    const QString line = QStringLiteral("%1:%2").arg(
        QDateTime::currentDateTime().toString(QStringLiteral("MM-dd hh:mm:ss")), str);
    emit sigAppendLog(line, iParam);
    if (m_pFile) {
        m_pFile->write((line + QStringLiteral("\r\n")).toUtf8());
        m_pFile->flush();
        m_pFile->waitForBytesWritten(kFlushWaitMs);
    }
}

void OperLoggerObj::slEmitMsgHandler(int iMsgType, int iParam, QString str, QByteArray aryParam)
{
    emit sigBeginMsgHandler(iMsgType, iParam, str, aryParam);
}

void operLog(const QString& line, int iIsForce)
{
    qCDebug(lcCommand).noquote() << "oper:" << line;
    if (OperLoggerObj* logger = OperLoggerObj::instance())
        emit logger->sigBeginMsgHandler(0, iIsForce, line, QByteArray());
}
