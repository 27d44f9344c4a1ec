#include "debuglog.h"

#include "platform.h"
#include "storedfile.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>
#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Process-wide state of the message handler. Nothing here may emit a Qt message: the handler
// would be re-entered.
QMutex g_mutex;
QString g_logDir;
QFile* g_pFile = nullptr;
QString g_fileName; // name of the open file; a new date-hour means a new file
DebugLog::Clock g_clock;
QtMessageHandler g_previousHandler = nullptr;
bool g_installed = false;
thread_local bool t_inHandler = false;

// A duplicate of the open log file's descriptor, for the crash callback: it must not lock or
// allocate, so it writes to whatever descriptor is current.
std::atomic<int> g_crashFd{-1};
std::atomic<DebugLog::CrashBox> g_crashBox{nullptr};

QDateTime now()
{
    return g_clock ? g_clock() : QDateTime::currentDateTime();
}

void setCrashFd(int fd)
{
#ifdef Q_OS_WIN
    const int dupFd = fd >= 0 ? _dup(fd) : -1;
    const int old = g_crashFd.exchange(dupFd);
    if (old >= 0)
        _close(old);
#else
    const int dupFd = fd >= 0 ? ::dup(fd) : -1;
    const int old = g_crashFd.exchange(dupFd);
    if (old >= 0)
        ::close(old);
#endif
}

void closeFile()
{
    if (g_pFile) {
        g_pFile->close();
        delete g_pFile;
        g_pFile = nullptr;
    }
    g_fileName.clear();
    setCrashFd(-1);
}

// Opens (appending) the file of the given moment, closing the one of an earlier hour. Caller holds
// g_mutex. Returns false when the file cannot be opened; the next call tries again.
bool openFileFor(const QDateTime& when)
{
    if (g_logDir.isEmpty())
        return false;
    const QString name = DebugLog::fileNameFor(g_logDir, when);
    if (g_pFile && name == g_fileName)
        return true;
    closeFile();
    auto* file = new QFile(name);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        delete file;
        return false;
    }
    // Logs name users, addresses and the farm's doings: for the owner only.
    file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    g_pFile = file;
    g_fileName = name;
    setCrashFd(file->handle());
    return true;
}

void writeLine(const QString& line)
{
    QTextStream out(g_pFile);
    out.setCodec("UTF-8");
    out << line << "\r\n"; // binary mode: the line end is written as is on every system
    out.flush();
    g_pFile->flush();
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (t_inHandler) { // a message raised while writing one: never recurse into the lock
        std::fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
        return;
    }
    t_inHandler = true;
    {
        QMutexLocker lock(&g_mutex);
        const QDateTime when = now();
        const QString line = DebugLog::formatLine(type, context.file, context.line, when, msg);
        if (openFileFor(when))
            writeLine(line);
    }
    t_inHandler = false;
}

void crashWrite(int fd, const char* text)
{
#ifdef Q_OS_WIN
    _write(fd, text, static_cast<unsigned>(std::strlen(text)));
#else
    const ssize_t n = ::write(fd, text, std::strlen(text));
    (void)n;
#endif
}

// Runs on the crashing thread (on Linux inside the signal handler): only plain writes to a
// descriptor opened beforehand.
void crashCallback(const platform::CrashInfo& info)
{
    int fd = g_crashFd.load();
    if (fd < 0)
        fd = 2; // no log file open: standard error
    crashWrite(fd, "Fatal: ");
    crashWrite(fd, info.line ? info.line : "");
    crashWrite(fd, "\r\n");
    if (DebugLog::CrashBox box = g_crashBox.load())
        box(info.code, info.address);
}

} // namespace

namespace DebugLog {

void install(const QString& logDir)
{
    QDir().mkpath(logDir);
    StoredFile::makePrivateDir(logDir); // the operation logs live there too
    QMutexLocker lock(&g_mutex);
    closeFile();
    g_logDir = logDir;
    if (!g_installed) {
        g_previousHandler = qInstallMessageHandler(messageHandler);
        g_installed = true;
    }
}

void uninstall()
{
    QMutexLocker lock(&g_mutex);
    if (g_installed) {
        qInstallMessageHandler(g_previousHandler);
        g_previousHandler = nullptr;
        g_installed = false;
    }
    closeFile();
    g_logDir.clear();
}

void setClock(Clock clock)
{
    QMutexLocker lock(&g_mutex);
    g_clock = std::move(clock);
}

QString fileNameFor(const QString& logDir, const QDateTime& when)
{
    return QStringLiteral("%1/log_%2.txt").arg(logDir, when.toString(QStringLiteral("yyyy_MM_dd-h")));
}

QString formatLine(QtMsgType type, const char* file, int line, const QDateTime& when, const QString& msg)
{
    QString level;
    switch (type) {
    case QtDebugMsg:
        level = QStringLiteral("Debug:");
        break;
    case QtWarningMsg:
        level = QStringLiteral("Warning:");
        break;
    case QtCriticalMsg:
        level = QStringLiteral("Critical:");
        break;
    case QtFatalMsg:
        level = QStringLiteral("Fatal:");
        break;
    default:
        break;
    }
    const QString context =
        QStringLiteral("File:(%1) Line:(%2)").arg(file ? QString::fromUtf8(file) : QString()).arg(line);
    const QString time = QStringLiteral("(%1-%2)")
                             .arg(when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
                             .arg(when.time().msec());
    return QStringLiteral("%1 %2 %3 %4").arg(level, context, time, msg);
}

void installCrashHandler(CrashBox box)
{
    g_crashBox.store(box);
    {
        // Open the current file now, so that a crash before the first message still has a target.
        QMutexLocker lock(&g_mutex);
        openFileFor(now());
    }
    platform::installCrashHandler(crashCallback);
}

} // namespace DebugLog

CCommResult DeleteLogAbsStrategy::run(const QString& logDir)
{
    CCommResult r = listFiles(logDir);
    if (!r.ok())
        return r;
    r = selectFiles();
    if (!r.ok())
        return r;
    return deleteSelected();
}

CCommResult DeleteLogAbsStrategy::listFiles(const QString& logDir)
{
    m_selectedFiles.clear();
    m_allFiles = QDir(logDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                                            QDir::Size | QDir::Reversed);
    return CCommResult();
}

CCommResult DeleteLogAbsStrategy::deleteSelected()
{
    for (const QFileInfo& info : qAsConst(m_selectedFiles)) {
        if (!QFile::remove(info.absoluteFilePath()))
            qWarning("文件删除失败：%s", qUtf8Printable(info.absoluteFilePath()));
    }
    return CCommResult();
}

DeleteLogStrategy::DeleteLogStrategy(DebugLog::Clock clock) : m_clock(std::move(clock)) {}

CCommResult DeleteLogStrategy::selectFiles()
{
    // Files at least three days old: more than 259,199 whole seconds since the last change.
    const qint64 nowSecs = (m_clock ? m_clock() : QDateTime::currentDateTime()).toSecsSinceEpoch();
    for (const QFileInfo& info : qAsConst(m_allFiles)) {
        if (nowSecs - info.lastModified().toSecsSinceEpoch() > 259199)
            m_selectedFiles.append(info);
    }
    return CCommResult();
}
