// The device side of "adb shell": a small sh that takes what the agent sends (simple commands
// separated by ";", words quoted with '...', "..." or \, $?, the redirections 2>&1, >&2, >/dev/null,
// 2>/dev/null and </dev/null) and refuses everything else (pipes, &, substitutions, variables,
// redirections to files), so that a word the agent failed to quote shows up as a refused line in the
// instance's event log instead of running something. Commands: echo, true, false, exit, screencap,
// getprop, wm size and input tap|swipe|text|keyevent|roll.
#include "adbdevice.h"
#include "farm.h"
#include "screenimage.h"
#include "tools.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVector>
#include <QtEndian>

#include <unistd.h>

namespace farmsim {

namespace {

constexpr int kAliveCheckMs = 1000;
constexpr int kHangPollMs = 100;
constexpr int kMaxSwipeMs = 3000;
constexpr int kMaxLineBytes = 64 * 1024;

enum class Dest
{
    Out,
    Err,
    Null
};

struct Command
{
    QStringList argv;
    Dest out = Dest::Out;
    Dest err = Dest::Err;
};

void emitTo(Dest dest, const QByteArray& bytes)
{
    if (dest == Dest::Out)
        writeOut(bytes);
    else if (dest == Dest::Err)
        writeErr(bytes);
}

// Splits a line into its commands one at a time, so that $? is the status of the command before.
class LineParser
{
public:
    enum Result
    {
        Got,
        Done,
        Error
    };
    explicit LineParser(const QString& line) : m_s(line) {}

    Result next(Command& cmd, int status, QString& error)
    {
        cmd = Command();
        QString word;
        bool have = false;   // a word is under way (it may be empty: '')
        bool quoted = false; // part of it was quoted (so "2" > is no descriptor)
        const auto endWord = [&] {
            if (have)
                cmd.argv << word;
            word.clear();
            have = quoted = false;
        };
        while (m_pos < m_s.size()) {
            const QChar c = m_s.at(m_pos);
            if (c == QLatin1Char(';')) {
                ++m_pos;
                endWord();
                if (!cmd.argv.isEmpty())
                    return Got;
            } else if (c.isSpace()) {
                ++m_pos;
                endWord();
            } else if (c == QLatin1Char('\'')) {
                const int close = m_s.indexOf(QLatin1Char('\''), m_pos + 1);
                if (close < 0)
                    return fail(error, QStringLiteral("unterminated '"));
                word += m_s.mid(m_pos + 1, close - m_pos - 1);
                have = quoted = true;
                m_pos = close + 1;
            } else if (c == QLatin1Char('"')) {
                if (!doubleQuoted(word, status, error))
                    return Error;
                have = quoted = true;
            } else if (c == QLatin1Char('\\')) {
                if (m_pos + 1 >= m_s.size())
                    return fail(error, QStringLiteral("\\ at the end of the line"));
                word += m_s.at(m_pos + 1);
                have = quoted = true;
                m_pos += 2;
            } else if (c == QLatin1Char('$')) {
                if (m_s.mid(m_pos, 2) != QLatin1String("$?"))
                    return fail(error, QStringLiteral("expansion not supported: ") + m_s.mid(m_pos, 8));
                word += QString::number(status);
                have = true;
                m_pos += 2;
            } else if (c == QLatin1Char('>') || c == QLatin1Char('<')) {
                int fd = c == QLatin1Char('<') ? 0 : 1;
                if (have && !quoted && (word == QLatin1String("1") || word == QLatin1String("2"))) {
                    fd = word.toInt();
                    word.clear();
                    have = false;
                }
                endWord();
                if (!redirection(cmd, fd, error))
                    return Error;
            } else if (c == QLatin1Char('#') && !have) {
                m_pos = m_s.size();
            } else if (QStringLiteral("|&`()").contains(c)) {
                return fail(error, QStringLiteral("syntax not supported: ") + c);
            } else {
                word += c;
                have = true;
                ++m_pos;
            }
        }
        endWord();
        return cmd.argv.isEmpty() ? Done : Got;
    }

private:
    Result fail(QString& error, const QString& text)
    {
        error = text;
        return Error;
    }

    bool doubleQuoted(QString& word, int status, QString& error)
    {
        for (++m_pos; m_pos < m_s.size(); ++m_pos) {
            const QChar c = m_s.at(m_pos);
            if (c == QLatin1Char('"')) {
                ++m_pos;
                return true;
            }
            if (c == QLatin1Char('\\') && m_pos + 1 < m_s.size() &&
                QStringLiteral("$`\"\\").contains(m_s.at(m_pos + 1))) {
                word += m_s.at(++m_pos);
            } else if (c == QLatin1Char('$')) {
                if (m_s.mid(m_pos, 2) != QLatin1String("$?")) {
                    error = QStringLiteral("expansion not supported: ") + m_s.mid(m_pos, 8);
                    return false;
                }
                word += QString::number(status);
                ++m_pos;
            } else if (c == QLatin1Char('`')) {
                error = QStringLiteral("command substitution not supported");
                return false;
            } else {
                word += c;
            }
        }
        error = QStringLiteral("unterminated \"");
        return false;
    }

    // After '>' or '<' of descriptor fd: "&1", "&2" or the file /dev/null.
    bool redirection(Command& cmd, int fd, QString& error)
    {
        ++m_pos;
        Dest dest = Dest::Null;
        if (m_pos < m_s.size() && m_s.at(m_pos) == QLatin1Char('&')) {
            const QString target = m_s.mid(m_pos + 1, 1);
            m_pos += 2;
            if (fd == 0 || (target != QLatin1String("1") && target != QLatin1String("2"))) {
                error = QStringLiteral("redirection not supported: &") + target;
                return false;
            }
            dest = target == QLatin1String("1") ? cmd.out : cmd.err;
        } else {
            while (m_pos < m_s.size() && m_s.at(m_pos).isSpace())
                ++m_pos;
            int end = m_pos;
            while (end < m_s.size() && !m_s.at(end).isSpace() && m_s.at(end) != QLatin1Char(';'))
                ++end;
            const QString file = m_s.mid(m_pos, end - m_pos);
            m_pos = end;
            if (file != QLatin1String("/dev/null")) {
                error = QStringLiteral("redirection to a file not supported: ") + file;
                return false;
            }
        }
        if (fd == 1)
            cmd.out = dest;
        else if (fd == 2)
            cmd.err = dest;
        return true;
    }

    const QString m_s;
    int m_pos = 0;
};

void logEvent(const Farm& farm, int i, const QString& cmd, const QStringList& args)
{
    QFile log(eventLogPath(farm, i));
    QDir().mkpath(QFileInfo(log).absolutePath());
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QJsonObject event{
        {"ms", double(nowMs())}, {"cmd", cmd}, {"args", QJsonArray::fromStringList(args)}};
    log.write(QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

QString lastTapPath(const Farm& farm, int i)
{
    return farm.deviceRoot(farm.instance(i).value("index").toString()) + QStringLiteral("/lasttap.json");
}

// Where the screen shows the last tap; written whole or not at all.
void noteTap(const Farm& farm, int i, QPoint at)
{
    QSaveFile f(lastTapPath(farm, i));
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(QJsonDocument(QJsonObject{{"x", at.x()}, {"y", at.y()}, {"ms", double(nowMs())}})
                .toJson(QJsonDocument::Compact));
    f.commit();
}

// A ring with a dot at the last tap, so that a live view of the screen shows where it was.
void markLastTap(const Farm& farm, int i, QImage& screen)
{
    QFile f(lastTapPath(farm, i));
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QJsonObject tap = QJsonDocument::fromJson(f.read(256)).object();
    if (!tap.contains("x") || !tap.contains("y"))
        return;
    const QPoint at(tap.value("x").toInt(), tap.value("y").toInt());
    const int r = qMax(6, screen.width() / 24);
    QPainter p(&screen);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(255, 60, 60), qMax(2, r / 4)));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(at, r, r);
    p.setBrush(QColor(255, 60, 60));
    p.drawEllipse(at, r / 4, r / 4);
}

bool isNumber(const QString& s)
{
    bool ok = false;
    s.toDouble(&ok);
    return ok;
}

int screencapCmd(const Farm& farm, int i, const Command& c)
{
    const QStringList args = c.argv.mid(1);
    const bool png = args.contains(QStringLiteral("-p"));
    QString file;
    for (const QString& a : args) {
        if (!a.startsWith(QLatin1Char('-')))
            file = a;
    }
    const QString mode = farm.knobText(i, "screencap");
    QByteArray bytes;
    if (mode == "garbage")
        bytes = "this is no picture: the frame buffer could not be read\n";
    else if (mode != "empty")
        bytes = png || file.endsWith(QLatin1String(".png")) ? pngBytes(screenOf(farm, i))
                                                            : rawFrameBytes(screenOf(farm, i));
    if (file.isEmpty()) {
        emitTo(c.out, bytes);
        return 0;
    }
    const QString path = devicePath(farm, i, file);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emitTo(c.err, QStringLiteral("/system/bin/screencap: cannot open %1\r\n").arg(file).toUtf8());
        return 1;
    }
    f.write(bytes);
    return 0;
}

int getpropCmd(const Command& c)
{
    static const QHash<QString, QString> props{{"sys.boot_completed", "1"},
                                               {"ro.product.model", "farmsim"},
                                               {"ro.build.version.release", "9"},
                                               {"ro.build.version.sdk", "28"}};
    emitTo(c.out, (props.value(c.argv.value(1)) + QLatin1Char('\n')).toUtf8());
    return 0;
}

int wmCmd(const Farm& farm, int i, const Command& c)
{
    if (c.argv.value(1) != QLatin1String("size")) {
        emitTo(c.err, "usage: wm [size|density] ...\n");
        return 1;
    }
    const QSize size = screenSizeOf(farm, i);
    emitTo(c.out, QStringLiteral("Physical size: %1x%2\n").arg(size.width()).arg(size.height()).toUtf8());
    return 0;
}

// The verbs of "input" with their argument counts (keyevent: one or more key codes).
int inputCmd(const Farm& farm, int i, const Command& c)
{
    const QString verb = c.argv.value(1);
    const QStringList args = c.argv.mid(2);
    const auto numbers = [&](int from, int to) {
        if (args.size() < from || args.size() > to)
            return false;
        return std::all_of(args.begin(), args.end(), isNumber);
    };
    bool ok = false;
    if (verb == "tap" || verb == "roll")
        ok = numbers(2, 2);
    else if (verb == "swipe")
        ok = numbers(4, 5);
    else if (verb == "text")
        ok = args.size() == 1;
    else if (verb == "keyevent")
        ok = !args.isEmpty() && std::all_of(args.begin(), args.end(), [](const QString& a) {
            return a == QLatin1String("--longpress") || isNumber(a) ||
                   a.startsWith(QLatin1String("KEYCODE_"));
        });
    if (!ok) {
        emitTo(c.err, QStringLiteral("Error: Invalid arguments for command: %1\n").arg(verb).toUtf8());
        return 1;
    }
    logEvent(farm, i, verb, args);
    if (verb == "tap")
        noteTap(farm, i, QPoint(args.at(0).toInt(), args.at(1).toInt()));
    // A swipe takes its time on the device, as the real one does.
    if (verb == "swipe" && args.size() == 5)
        QThread::msleep(ulong(qBound(0, args.at(4).toInt(), kMaxSwipeMs)));
    return 0;
}

int runCommand(const Farm& farm, int i, const Command& c)
{
    const QString name = c.argv.first();
    if (name == "echo") {
        emitTo(c.out, (c.argv.mid(1).join(QLatin1Char(' ')) + QLatin1Char('\n')).toUtf8());
        return 0;
    }
    if (name == "true" || name == "false")
        return name == "true" ? 0 : 1;
    if (name == "screencap" || name == "/system/bin/screencap")
        return screencapCmd(farm, i, c);
    if (name == "getprop")
        return getpropCmd(c);
    if (name == "wm")
        return wmCmd(farm, i, c);
    if (name == "input")
        return inputCmd(farm, i, c);
    logEvent(farm, i, QStringLiteral("sh-error"),
             {QStringLiteral("not found"), c.argv.join(QLatin1Char(' '))});
    emitTo(c.err, QStringLiteral("/system/bin/sh: %1: not found\n").arg(name).toUtf8());
    return 127;
}

struct LineOutcome
{
    int status = 0;
    bool exit = false;
};

LineOutcome runLine(const Farm& farm, int i, const QString& line, int status)
{
    LineParser parser(line);
    Command cmd;
    QString error;
    for (;;) {
        switch (parser.next(cmd, status, error)) {
        case LineParser::Done:
            return {status, false};
        case LineParser::Error:
            logEvent(farm, i, QStringLiteral("sh-error"), {error, line});
            errLine(QStringLiteral("/system/bin/sh: ") + error);
            return {2, false};
        case LineParser::Got:
            break;
        }
        if (cmd.argv.first() == QLatin1String("exit"))
            return {cmd.argv.value(1).toInt(), true};
        status = runCommand(farm, i, cmd);
    }
}

// The instance of index idx as the farm has it now; -1 when its process is gone (whatever the
// listings say of it). A hung instance
// answers nothing until it goes on (or goes away), and so does one whose shell hangs (shellHang); a
// slow one (toolDelayMs) answers late.
int instanceForLine(Farm& farm, const QString& idx)
{
    for (bool slept = false;;) {
        QString err;
        if (!farm.read(&err))
            return -1;
        const int i = farm.findIndex(idx);
        if (i < 0 || farm.livePid(i) <= 0)
            return -1;
        if (farm.isHung(i) || farm.knobBool(i, "shellHang")) {
            QThread::msleep(kHangPollMs);
            continue;
        }
        const int delayMs = farm.knobInt(i, "toolDelayMs");
        if (slept || delayMs <= 0)
            return i;
        QThread::msleep(ulong(delayMs));
        slept = true;
    }
}

} // namespace

QSize screenSizeOf(const Farm& farm, int i)
{
    const int w = farm.knobInt(i, "screenWidth");
    const int h = farm.knobInt(i, "screenHeight");
    return {w > 0 ? w : kScreenWidth, h > 0 ? h : kScreenHeight};
}

QImage screenOf(const Farm& farm, int i)
{
    const QSize size = screenSizeOf(farm, i);
    if (farm.knobText(i, "screencap") == "blank") {
        QImage img(size, QImage::Format_ARGB32);
        img.fill(Qt::transparent);
        return img;
    }
    const QJsonObject rec = farm.instance(i);
    const QImage drawn = renderScreen(rec.value("name").toString(), rec.value("index").toString(), nowMs());
    QImage screen = drawn.size() == size ? drawn : drawn.scaled(size);
    markLastTap(farm, i, screen);
    return screen;
}

QString devicePath(const Farm& farm, int i, const QString& remote)
{
    return farm.deviceRoot(farm.instance(i).value("index").toString()) + '/' + QDir::cleanPath(remote);
}

QString eventLogPath(const Farm& farm, int i)
{
    return farm.deviceRoot(farm.instance(i).value("index").toString()) + QStringLiteral("/events.jsonl");
}

QByteArray rawFrameBytes(const QImage& screen)
{
    const QImage rgba = screen.convertToFormat(QImage::Format_RGBA8888);
    QByteArray bytes;
    bytes.reserve(16 + rgba.width() * rgba.height() * 4);
    for (const quint32 word : {quint32(rgba.width()), quint32(rgba.height()), quint32(1), quint32(0)}) {
        const quint32 le = qToLittleEndian(word);
        bytes.append(reinterpret_cast<const char*>(&le), 4);
    }
    for (int y = 0; y < rgba.height(); ++y)
        bytes.append(reinterpret_cast<const char*>(rgba.constScanLine(y)), rgba.width() * 4);
    return bytes;
}

QByteArray pngBytes(const QImage& screen)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    screen.save(&buffer, "PNG");
    return bytes;
}

int runShellLine(const QString& farmDir, int i, const QString& line)
{
    Farm farm(farmDir);
    QString err;
    if (!farm.read(&err)) {
        errLine(QStringLiteral("adb: ") + err);
        return 1;
    }
    return runLine(farm, i, line, 0).status;
}

int runInteractiveShell(const QString& farmDir, int i)
{
    QString idx;
    {
        Farm farm(farmDir);
        QString err;
        if (!farm.read(&err))
            return 1;
        idx = farm.instance(i).value("index").toString();
    }
    QByteArray pending;
    int status = 0;
    bool ended = false;
    const auto end = [&](int code, const char* why) {
        if (ended)
            return;
        ended = true;
        if (why)
            errLine(QString::fromLatin1(why));
        QCoreApplication::exit(code);
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[16384];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
        if (n <= 0) {
            input.setEnabled(false);
            return end(status, nullptr);
        }
        pending.append(buf, int(n));
        for (int nl = pending.indexOf('\n'); nl >= 0 && !ended; nl = pending.indexOf('\n')) {
            QString line = QString::fromUtf8(pending.left(nl));
            pending.remove(0, nl + 1);
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
            Farm farm(farmDir);
            const int at = instanceForLine(farm, idx);
            if (at < 0)
                return end(1, "error: closed");
            const LineOutcome outcome = runLine(farm, at, line, status);
            status = outcome.status;
            if (outcome.exit)
                return end(status, nullptr);
        }
        if (pending.size() > kMaxLineBytes)
            end(2, "/system/bin/sh: line too long");
    });
    // The connection ends with the instance.
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout, [&] {
        Farm farm(farmDir);
        QString err;
        const int at = farm.read(&err) ? farm.findIndex(idx) : -1;
        if (at < 0 || farm.livePid(at) <= 0)
            end(1, "error: closed");
    });
    alive.start(kAliveCheckMs);
    return QCoreApplication::exec();
}

} // namespace farmsim
