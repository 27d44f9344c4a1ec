#include "rcvfilerspsormgr.h"

#include "agentlogging.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QTcpSocket>

namespace {
QAtomicInt g_stallTimeoutMs(RcvFileRspsorMgr::kStallTimeoutMs);

CCommResult transferError(const QString& why)
{
    qCWarning(lcCommand).noquote() << "RcvFileRspsorMgr::RcvFile:" << why;
    return CCommResult::failure(ResultCode::TransferFileFailed, QStringLiteral("传输文件出错"), why);
}
} // namespace

RcvFileRspsorMgr::RcvFileRspsorMgr(QTcpSocket* pSocket, const QByteArray& firstBytes,
                                   const struNotifierOptions& options, QObject* parent)
    : ComGrpOperMgr(options, parent), m_pSocket(pSocket), m_firstBytes(firstBytes)
{
}

void RcvFileRspsorMgr::SetStallTimeoutMs(int ms)
{
    g_stallTimeoutMs.storeRelaxed(ms);
}

int RcvFileRspsorMgr::StallTimeoutMs()
{
    return g_stallTimeoutMs.loadRelaxed();
}

void RcvFileRspsorMgr::SetReceiveDeadline(int baseMs, int minBytesPerSec)
{
    m_iDeadlineBaseMs = qMax(0, baseMs);
    m_iMinBytesPerSec = qMax(1, minBytesPerSec);
}

qint64 RcvFileRspsorMgr::ReceiveDeadlineMs(qint64 size) const
{
    return m_iDeadlineBaseMs + qMax<qint64>(size, 0) * 1000 / m_iMinBytesPerSec;
}

CCommResult RcvFileRspsorMgr::RcvFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        return CCommResult::failure(ResultCode::OpenFileFailed,
                                    QStringLiteral("传输文件时，无法打开文件%1").arg(path),
                                    file.errorString());
    }
    if (size < 0)
        return transferError(QStringLiteral("negative file size %1").arg(size));

    // Only the announced size belongs to the file; anything after it is not the APK.
    qint64 received = qMin<qint64>(m_firstBytes.size(), size);
    if (received > 0 && file.write(m_firstBytes.constData(), received) != received)
        return transferError(QStringLiteral("write %1: %2").arg(path, file.errorString()));

    const QDeadlineTimer deadline(ReceiveDeadlineMs(size));
    // One buffer for the whole file: what the socket holds is copied into it and written from it.
    QByteArray buffer(int(qMin(kReadChunk, qMax<qint64>(size - received, 1))), Qt::Uninitialized);
    while (received < size) {
        if (deadline.hasExpired())
            return transferError(QStringLiteral("%1 of %2 bytes received within the receive's %3 ms")
                                     .arg(received)
                                     .arg(size)
                                     .arg(ReceiveDeadlineMs(size)));
        const int waitMs = int(qMin<qint64>(StallTimeoutMs(), deadline.remainingTime()));
        if (m_pSocket->bytesAvailable() <= 0 && !m_pSocket->waitForReadyRead(waitMs)) {
            if (deadline.hasExpired())
                continue;
            return transferError(QStringLiteral("no data (%1 of %2 bytes received): %3")
                                     .arg(received)
                                     .arg(size)
                                     .arg(m_pSocket->errorString()));
        }
        const qint64 n = m_pSocket->read(buffer.data(), qMin<qint64>(buffer.size(), size - received));
        if (n < 0 || (n == 0 && m_pSocket->state() != QAbstractSocket::ConnectedState))
            return transferError(
                QStringLiteral("connection ended after %1 of %2 bytes").arg(received).arg(size));
        if (file.write(buffer.constData(), n) != n)
            return transferError(QStringLiteral("write %1: %2").arg(path, file.errorString()));
        received += n;
    }
    file.close();
    CCommResult cRet;
    cRet.str = path;
    return cRet;
}
