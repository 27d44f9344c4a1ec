#include "remotedesktopobj.h"

#include "ffmpegdesktopdecoder.h"
#include "rmtdsktpport.h"

#include <QDebug>
#include <QThread>

RemoteDesktopObj::RemoteDesktopObj(const struRmtDsktpTarget& target, const DesktopDecoderFactory& factory,
                                   QObject* parent)
    : QObject(parent), m_target(target), m_factory(factory ? factory : FfmpegDesktopDecoder::factory()),
      m_pFrames(QSharedPointer<LatestFrame>::create())
{
    if (!connect(this, &RemoteDesktopObj::sigBeginRun, this, &RemoteDesktopObj::slRun, Qt::QueuedConnection))
        qWarning() << "connect RemoteDesktopObj::sigBeginRun RemoteDesktopObj::slRun err";
}

void RemoteDesktopObj::slInitRmtDsktpSocket()
{
    qWarning() << "slInitRmtDsktSocket thread id:" << QThread::currentThreadId();
    emit sigBeginRun();
}

void RemoteDesktopObj::slRun()
{
    // The port is chosen here, off the GUI thread: each used port costs a pause.
    if (m_target.iPort <= 0)
        m_target.iPort = RmtDsktpPort::choose(m_target.strAddr);
    const QString url = QStringLiteral("udp://%1:%2").arg(m_target.strAddr).arg(m_target.iPort);
    std::unique_ptr<IDesktopDecoder> pDecoder = m_factory(&m_running);
    CCommResult ret = pDecoder->initNetwork();
    if (ret.iRet == 0)
        ret = open(*pDecoder, url);
    if (ret.iRet == 0 && m_running.load())
        ret = pDecoder->prepare();
    if (ret.iRet == 0 && m_running.load())
        ret = decodeLoop(*pDecoder);
    pDecoder->close();
    // A run ended by the window is no news to anyone; one that ended by itself is reported.
    if (!m_running.load()) {
        qWarning() << "remote desktop decoder stopped," << m_pFrames->putCount() << "pictures,"
                   << m_pFrames->droppedCount() << "replaced before they were shown";
        return;
    }
    qWarning().noquote() << "remote desktop decoder ended:" << ret.iRet << ret.str << ret.log;
    emit sigReplyResult(new CCommResult(ret));
}

CCommResult RemoteDesktopObj::open(IDesktopDecoder& decoder, const QString& url)
{
    CCommResult ret;
    for (int attempt = 0; attempt < kOpenAttempts && m_running.load(); ++attempt) {
        ret = decoder.openInput(url);
        if (ret.iRet == 0) {
            emit sigInputOpened(m_target.iPort);
            return ret;
        }
        qWarning().noquote() << ret.log;
        QThread::msleep(kRetryMs);
    }
    return ret;
}

CCommResult RemoteDesktopObj::decodeLoop(IDesktopDecoder& decoder)
{
    CCommResult ret;
    int readFailures = 0;
    int decodeFailures = 0;
    QSize lastSize;
    QImage picture;
    while (m_running.load()) {
        int ffmpegRet = 0;
        const IDesktopDecoder::Step step = decoder.step(picture, ffmpegRet);
        if (step == IDesktopDecoder::Step::Stopped)
            break;
        if (step == IDesktopDecoder::Step::ReadFailed) {
            ret = CCommResult::failure(RmtDsktpCode::ReadFailed, QStringLiteral("读取视频流失败"),
                                       QStringLiteral("read stream failed,err code:%1").arg(ffmpegRet));
            ret.iExtraRet = ffmpegRet;
            if (++readFailures > kMaxFailures)
                break;
            QThread::msleep(kRetryMs);
            continue;
        }
        readFailures = 0;
        if (step == IDesktopDecoder::Step::DecodeFailed) {
            if (++decodeFailures > kMaxFailures) {
                ret = CCommResult::failure(RmtDsktpCode::DecodeFailed, QStringLiteral("解码失败"),
                                           QStringLiteral("解码失败，返回值：%1").arg(ffmpegRet));
                ret.iExtraRet = ffmpegRet;
                break;
            }
            continue;
        }
        decodeFailures = 0;
        if (step == IDesktopDecoder::Step::Picture) {
            deliver(picture, lastSize);
            picture = QImage();
        }
    }
    return ret;
}

void RemoteDesktopObj::deliver(const QImage& picture, QSize& lastSize)
{
    // The window opens at 60 % of the desktop's size, and follows a change of it.
    if (picture.size() != lastSize) {
        lastSize = picture.size();
        emit sigSizeChanged(QSize(int(lastSize.width() * 0.6), int(lastSize.height() * 0.6)));
    }
    if (m_pFrames->put(picture))
        emit sigFrameReady();
}
