// Discovery responder figures, over loopback against the simulated farm, for both products:
//   - a type 1 query for 50 running instances with screenshots present: time from the query being
//     sent to the last of the 50 kind 1 datagrams arriving, in total and per instance;
//   - a type 0 query: time to the kind 0 datagram.
// Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/discovery_bench [runs]
#include "discovery.h"
#include "farmfixture.h"
#include "loginret.h"
#include "screenshot.h"
#include "simusettings.h"
#include "udprceiverobj.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QNetworkDatagram>
#include <QPainter>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kInstances = 50;
constexpr int kReplyTimeoutMs = 10000;

struct Figures
{
    double medianMs = 0;
    double minMs = 0;
};

Figures summarise(QVector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms.at(ms.size() / 2), ms.first()};
}

// A screen-sized picture with some detail, as a screenshot of a real instance would be.
QImage detailedScreen(int w, int h, int seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor::fromHsv(seed * 7 % 360, 120, 90));
    QPainter p(&img);
    for (int y = 0; y < h; y += 40)
        for (int x = 0; x < w; x += 40)
            p.fillRect(x, y, 30, 30, QColor::fromHsv((x + y + seed) % 360, 200, 200));
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, w, h), Qt::AlignCenter, QStringLiteral("instance %1").arg(seed));
    return img;
}

// Gives every screenshot file a new modification time, as the screenshot pool's rewrite would.
void renewScreenshots()
{
    static int tick = 0;
    const QDateTime when = QDateTime::currentDateTime().addSecs(++tick);
    const QString dir = SimuSettings::screenshotDir();
    for (const QString& name : QDir(dir).entryList({QStringLiteral("*.png")}, QDir::Files)) {
        QFile f(dir + name);
        if (f.open(QIODevice::ReadWrite))
            f.setFileTime(when, QFileDevice::FileModificationTime);
    }
}

class Console
{
public:
    explicit Console(quint16 agentPort) : m_agentPort(agentPort)
    {
        m_socket.bind(QHostAddress::LocalHost, 0);
        // Room for a whole type 1 answer (50 datagrams of about 3.5 KB), as a console needs.
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    }

    // Milliseconds from sending one query to receiving `expected` datagrams; -1 on time-out.
    double timeQuery(int type, int expected)
    {
        while (m_socket.hasPendingDatagrams())
            m_socket.receiveDatagram();
        QElapsedTimer clock;
        clock.start();
        m_socket.writeDatagram(Discovery::encodeQuery(type, QStringLiteral("bench")), QHostAddress::LocalHost,
                               m_agentPort);
        int got = 0;
        while (got < expected) {
            if (!m_socket.waitForReadyRead(kReplyTimeoutMs - int(clock.elapsed()))) {
                std::fprintf(stderr, "query type %d: %d of %d replies within %d ms\n", type, got, expected,
                             kReplyTimeoutMs);
                return -1;
            }
            while (m_socket.hasPendingDatagrams()) {
                m_socket.receiveDatagram();
                ++got;
            }
        }
        return clock.nsecsElapsed() / 1e6;
    }

private:
    QUdpSocket m_socket;
    quint16 m_agentPort;
};

bool prepareFarm(FarmFixture& farm, FarmFixture::Product product, int screenSide, QString* pWhy)
{
    if (!farm.init(product, kInstances)) {
        *pWhy = farm.error();
        return false;
    }
    farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    SimuSettings::setPcName(QStringLiteral("BENCH-PC"));
    SimuSettings::setDaemonModel(2);
    QStringList running;
    const QString firstIdx = product == FarmFixture::MEmu ? QStringLiteral("MEmu") : QStringLiteral("0");
    for (int i = 0; i < kInstances; ++i) {
        const QString idx = product == FarmFixture::MEmu
                                ? (i == 0 ? QStringLiteral("MEmu") : QStringLiteral("MEmu_%1").arg(i))
                                : QString::number(i);
        running << idx;
        SimuSettings::updateSimuRecord(idx, [](struSimuRecord& rec) {
            rec.iState = 1;
            rec.iTime = -1;
        });
    }
    SimuSettings::setRunningList(running);
    if (screenSide == 0) {
        // The farm's own capture of one instance, copied for every instance.
        if (!farm.startInstance(firstIdx) || !farm.waitInstance(firstIdx, QStringLiteral("online"), true)) {
            *pWhy = QStringLiteral("instance did not come up");
            return false;
        }
        const QString shot = SimuSettings::screenshotPath(firstIdx);
        const CCommResult r = TakeScreenshot(
            QStringLiteral("127.0.0.1:%1").arg(product == FarmFixture::MEmu ? 21503 : 5555), shot);
        if (r.iRet != 0) {
            *pWhy = QStringLiteral("capture failed: ") + r.str;
            return false;
        }
        for (const QString& idx : running)
            if (idx != firstIdx)
                QFile::copy(shot, SimuSettings::screenshotPath(idx));
    } else {
        for (int i = 0; i < running.size(); ++i)
            detailedScreen(screenSide, screenSide * 16 / 9, i)
                .save(SimuSettings::screenshotPath(running.at(i)));
    }
    return true;
}

void runProduct(FarmFixture::Product product, int screenSide, int runs)
{
    const char* productName = product == FarmFixture::MEmu ? "MEmu" : "LDPlayer";
    FarmFixture farm;
    QString why;
    if (!prepareFarm(farm, product, screenSide, &why)) {
        std::printf("%s: skipped (%s)\n", productName, qPrintable(why));
        return;
    }
    QImage sample(SimuSettings::screenshotPath(product == FarmFixture::MEmu ? QStringLiteral("MEmu_1")
                                                                            : QStringLiteral("1")));

    QThread thread;
    auto* pReceiver = new UdpRceiverObj(0, QHostAddress::LocalHost);
    pReceiver->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, pReceiver, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(pReceiver, &UdpRceiverObj::slInitSocket, Qt::BlockingQueuedConnection);
    Console console(pReceiver->localPort());

    // "renewed": every screenshot file was rewritten since the previous query (each thumbnail is made
    // anew); "unchanged": the files are those of the previous query.
    QVector<double> renewed;
    QVector<double> unchanged;
    QVector<double> type0;
    console.timeQuery(Discovery::eQuerySimuState, kInstances); // warm-up
    for (int i = 0; i < runs; ++i) {
        renewScreenshots();
        renewed << console.timeQuery(Discovery::eQuerySimuState, kInstances);
        unchanged << console.timeQuery(Discovery::eQuerySimuState, kInstances);
        type0 << console.timeQuery(Discovery::eQueryPcInfo, 1);
    }
    thread.quit();
    thread.wait();

    for (const QVector<double>* v : {&renewed, &unchanged, &type0}) {
        if (v->contains(-1.0)) {
            std::printf("%s: a query went unanswered\n", productName);
            return;
        }
    }
    const Figures fr = summarise(renewed);
    const Figures fu = summarise(unchanged);
    const Figures f0 = summarise(type0);
    std::printf("%-8s %4dx%-4d  type 1, screenshots renewed: median %6.1f ms (%5.2f ms/instance), min %6.1f"
                "  | unchanged: median %5.1f ms (%4.2f ms/instance)  | type 0: median %5.1f ms\n",
                productName, sample.width(), sample.height(), fr.medianMs, fr.medianMs / kInstances, fr.minMs,
                fu.medianMs, fu.medianMs / kInstances, f0.medianMs);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 10;
    if (FarmFixture::farmsimPath().isEmpty()) {
        std::printf("discovery_bench: farmsim not found, set TOVIA_BIN_DIR\n");
        return 1;
    }
    CLoginRet login;
    login.strUserName = QStringLiteral("bench");
    LoginRecord::set(login);
    std::printf("discovery responder, %d runs per figure, loopback\n", runs);
    for (FarmFixture::Product product : {FarmFixture::MEmu, FarmFixture::LdPlayer}) {
        runProduct(product, 0, runs);   // the farm's own screenshots
        runProduct(product, 720, runs); // 720 x 1280 pictures, as real instances produce
    }
    return 0;
}
