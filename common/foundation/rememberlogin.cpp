#include "rememberlogin.h"

#include <QFile>
#include <QFileInfo>

namespace RememberLogin {

namespace {

const QString kOption = QStringLiteral("--remember-login");
const QString kStdin = QStringLiteral("--password-stdin");
const QString kFile = QStringLiteral("--password-file");
constexpr qint64 kMaxPasswordLine = 4096;

// How many arguments the option takes at index i (the option itself included); 0 when incomplete.
int optionLength(const QStringList& args, int i)
{
    if (i + 2 >= args.size())
        return 0;
    if (args.at(i + 2) == kStdin)
        return 3;
    if (args.at(i + 2) == kFile)
        return i + 3 < args.size() ? 4 : 0;
    return 3;
}

bool readFirstLine(QIODevice& device, QString& password, QString& error, const QString& source)
{
    QByteArray line = device.readLine(kMaxPasswordLine + 2); // room for one byte too many and the NUL
    if (line.size() > kMaxPasswordLine) {
        error = QStringLiteral("the password in %1 is too long").arg(source);
        return false;
    }
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    password = QString::fromUtf8(line);
    if (password.isEmpty()) {
        error = QStringLiteral("no password in %1").arg(source);
        return false;
    }
    return true;
}

bool readPasswordFile(const QString& path, QString& password, QString& error)
{
#ifndef Q_OS_WIN
    const QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (QFileInfo::exists(path) && (QFileInfo(path).permissions() & others)) {
        error = QStringLiteral("the password file %1 can be read or changed by other users: make it "
                               "owner-only (chmod 600)")
                    .arg(path);
        return false;
    }
#endif
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString());
        return false;
    }
    return readFirstLine(file, password, error, path);
}

bool readStdin(QIODevice* input, QString& password, QString& error)
{
    QFile in;
    if (!input) {
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read standard input");
            return false;
        }
        input = &in;
    }
    return readFirstLine(*input, password, error, QStringLiteral("standard input"));
}

} // namespace

bool parse(const QStringList& args, struOption& option, QString& error, QIODevice* input)
{
    option = struOption();
    const int at = args.indexOf(kOption);
    if (at < 0)
        return true;
    const int length = optionLength(args, at);
    if (length == 0 || args.at(at + 1).isEmpty() || args.at(at + 1).startsWith(QLatin1String("--"))) {
        error = QStringLiteral(
            "--remember-login needs USER and PASSWORD, --password-stdin or --password-file FILE");
        return false;
    }
    option.user = args.at(at + 1);
    const QString source = args.at(at + 2);
    bool ok = true;
    if (source == kStdin)
        ok = readStdin(input, option.password, error);
    else if (source == kFile)
        ok = readPasswordFile(args.at(at + 3), option.password, error);
    else
        option.password = source;
    option.present = ok;
    return ok;
}

QStringList withoutOption(const QStringList& args)
{
    QStringList kept = args;
    const int at = kept.indexOf(kOption);
    if (at < 0)
        return kept;
    const int length = optionLength(kept, at);
    const int count = length == 0 ? kept.size() - at : length;
    kept.erase(kept.begin() + at, kept.begin() + at + count);
    return kept;
}

const char* usage()
{
    return "  --remember-login USER --password-stdin | --password-file FILE | PASSWORD\n"
           "                    store this login with automatic login on, then start signed in; the\n"
           "                    password comes from the first line of standard input or of FILE\n"
           "                    (owner-only), or plain from the command line (visible to every user)\n";
}

} // namespace RememberLogin
