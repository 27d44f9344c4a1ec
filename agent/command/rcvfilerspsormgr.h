#pragma once

#include "comgrpopermgr.h"

#include <QByteArray>

class QTcpSocket;

// A manager whose command carries a file on the command connection itself, right after the
// command document. The socket is borrowed: the command server owns and closes it.
class RcvFileRspsorMgr : public ComGrpOperMgr
{
    Q_OBJECT
public:
    // firstBytes: what already arrived behind the command document (the start of the file).
    RcvFileRspsorMgr(QTcpSocket* pSocket, const QByteArray& firstBytes, const struNotifierOptions& options,
                     QObject* parent = nullptr);

    // Receives exactly `size` bytes into `path` (truncated first). Success: code 0, the path in str.
    // 17 when the file cannot be opened; 24 when the data stalls, the connection ends early or a
    // read fails.
    CCommResult RcvFile(const QString& path, qint64 size);

    // The whole receive ends after baseMs plus the declared size at minBytesPerSec, however the
    // bytes trickle in (the stall wait alone is renewed by every byte).
    void SetReceiveDeadline(int baseMs, int minBytesPerSec);
    qint64 ReceiveDeadlineMs(qint64 size) const;

    // The file is read from the socket into one reused buffer of this size and written from it.
    static constexpr qint64 kReadChunk = 1024 * 1024;

    // Longest wait for the next bytes of a file (default 30,000 ms).
    static constexpr int kStallTimeoutMs = 30000;
    static void SetStallTimeoutMs(int ms);
    static int StallTimeoutMs();

protected:
    QTcpSocket* m_pSocket;
    QByteArray m_firstBytes;
    int m_iDeadlineBaseMs = 30000;
    int m_iMinBytesPerSec = 256 * 1024;
};
