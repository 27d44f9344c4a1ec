// farmsim behaves as the tool whose name it was started under; under its own name it manages farms.
#include "farm.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <unistd.h>

#include <cstdio>
#include <memory>

using namespace farmsim;

namespace {

// Folder of this tool copy. argv[0] is used as given (not resolved), so a tool started through a
// link still finds the farm beside the link; a bare name falls back to the executable's real path.
QString toolDir(const char* argv0)
{
    const QString a0 = QString::fromLocal8Bit(argv0);
    if (a0.contains('/'))
        return QFileInfo(a0).absoluteDir().absolutePath();
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0)
        return QDir::currentPath();
    return QFileInfo(QString::fromLocal8Bit(buf, static_cast<int>(n))).absoluteDir().absolutePath();
}

bool sameTool(const QString& name, const QString& tool)
{
    QString bare = tool;
    bare.chop(4); // ".exe"
    return name.compare(tool, Qt::CaseInsensitive) == 0 || name.compare(bare, Qt::CaseInsensitive) == 0;
}

// A screenshot draws text, which needs a GUI application; everything else is a plain core one.
std::unique_ptr<QCoreApplication> makeApp(int& argc, char** argv, bool gui)
{
    if (!gui)
        return std::make_unique<QCoreApplication>(argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(argc, argv);
}

// The tools' streams are their output: Qt's own diagnostics must never land on them, because
// any text on adb's error stream counts as a failure. FARMSIM_DEBUG=1 lets them through.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtFatalMsg || qEnvironmentVariableIntValue("FARMSIM_DEBUG") != 0)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

} // namespace

int main(int argc, char** argv)
{
    const QString name = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    const QString dir = toolDir(argv[0]);
    qInstallMessageHandler(quietMessages);

    if (sameTool(name, kMEmuExe) || sameTool(name, kDnPlayerExe)) {
        QString err;
        const QString farmDir = Farm::locate(dir, &err);
        if (farmDir.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(err));
            return 1;
        }
        return runInstance(argc, argv, farmDir, sameTool(name, kMEmuExe) ? kMEmuExe : kDnPlayerExe);
    }

    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // adb's shell may be asked for a screenshot at any line.
    const bool gui = sameTool(name, kAdbExe) &&
                     (args.contains(QStringLiteral("shell")) || args.contains(QStringLiteral("exec-out")));
    auto pApp = makeApp(argc, argv, gui);

    using Runner = int (*)(const QString&, const QStringList&);
    Runner runner = nullptr;
    if (sameTool(name, kMEmuManageExe))
        runner = runMEmuManage;
    else if (sameTool(name, kMemuConsoleExe))
        runner = runMemuConsole;
    else if (sameTool(name, kDnConsoleExe))
        runner = runDnConsole;
    else if (sameTool(name, kAdbExe))
        runner = runAdb;
    if (!runner)
        return runFarmCommand(args);

    QString err;
    const QString farmDir = Farm::locate(dir, &err);
    if (farmDir.isEmpty()) {
        errLine(name + QStringLiteral(": ") + err);
        return 1;
    }
    return runner(farmDir, args);
}
