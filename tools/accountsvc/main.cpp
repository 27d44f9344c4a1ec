// ToviaAccountSvc: the account web service the programs sign in to.
//
//   ToviaAccountSvc --db FILE --listen HOST:PORT           serve (PORT 0 picks a free port)
//   ToviaAccountSvc --db FILE adduser NAME PASSWORD [--nick NICK]
//   ToviaAccountSvc --db FILE passwd NAME PASSWORD
//   ToviaAccountSvc --db FILE list
//   ToviaAccountSvc makecert --cert FILE --key FILE [--host NAME-OR-IP ...]
//
// Serving prints "listening on HOST:PORT" on stdout once the socket is bound, logs every request on
// stderr and stops cleanly on SIGTERM or SIGINT. With --cert FILE --key FILE (PEM) it serves HTTPS.
// makecert writes a self-signed certificate (its own authority; hosts 127.0.0.1 and localhost
// unless named) for an HTTPS service of one's own: give the certificate file to the programs as
// their setting account/caFile.
#include "accountdb.h"
#include "accountservice.h"
#include "guardedserver.h"
#include "selfcert.h"
#include "xxtea.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <httplib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>

namespace {
void logLine(const QString& text)
{
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) + text;
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int usage(const char* why)
{
    if (why) {
        std::fprintf(stderr, "ToviaAccountSvc: %s\n", why);
    }
    std::fprintf(stderr, "usage: ToviaAccountSvc --db FILE --listen HOST:PORT [--cert FILE --key FILE]\n"
                         "       ToviaAccountSvc --db FILE adduser NAME PASSWORD [--nick NICK]\n"
                         "       ToviaAccountSvc --db FILE passwd NAME PASSWORD\n"
                         "       ToviaAccountSvc --db FILE list\n"
                         "       ToviaAccountSvc makecert --cert FILE --key FILE [--host NAME-OR-IP ...]\n");
    return 2;
}

struct struArgs
{
    QString db;
    QString listen;
    QString nick;
    QString cert;
    QString key;
    QStringList hosts;
    QStringList positional;
};

bool parseArgs(int argc, char** argv, struArgs& args, QString& err)
{
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        QString* target = nullptr;
        if (a == QLatin1String("--db")) {
            target = &args.db;
        } else if (a == QLatin1String("--listen")) {
            target = &args.listen;
        } else if (a == QLatin1String("--nick")) {
            target = &args.nick;
        } else if (a == QLatin1String("--cert")) {
            target = &args.cert;
        } else if (a == QLatin1String("--key")) {
            target = &args.key;
        } else if (a == QLatin1String("--host")) {
            if (++i >= argc) {
                err = QStringLiteral("--host needs a value");
                return false;
            }
            args.hosts << QString::fromLocal8Bit(argv[i]);
            continue;
        } else if (a.startsWith(QLatin1String("--"))) {
            err = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else {
            args.positional << a;
            continue;
        }
        if (++i >= argc) {
            err = QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        *target = QString::fromLocal8Bit(argv[i]);
    }
    return true;
}

int manage(AccountDb& db, const struArgs& args)
{
    const QStringList& p = args.positional;
    const QString cmd = p.value(0);
    QString err;
    if (cmd == QLatin1String("adduser") && p.size() == 3) {
        if (!QRegularExpression(QStringLiteral("^[0-9]+$")).match(p[1]).hasMatch()) {
            std::fprintf(stderr, "note: the login dialogs accept only user names made of digits\n");
        }
        if (!db.addUser(p[1], p[2], args.nick, err)) {
            std::fprintf(stderr, "ToviaAccountSvc: %s\n", err.toLocal8Bit().constData());
            return 1;
        }
        std::printf("added user %s\n", p[1].toLocal8Bit().constData());
        return 0;
    }
    if (cmd == QLatin1String("passwd") && p.size() == 3) {
        if (!db.setPassword(p[1], p[2], err)) {
            std::fprintf(stderr, "ToviaAccountSvc: %s\n", err.toLocal8Bit().constData());
            return 1;
        }
        std::printf("password of %s changed\n", p[1].toLocal8Bit().constData());
        return 0;
    }
    if (cmd == QLatin1String("list") && p.size() == 1) {
        QVector<struAccount> users;
        if (!db.listUsers(users, err)) {
            std::fprintf(stderr, "ToviaAccountSvc: %s\n", err.toLocal8Bit().constData());
            return 1;
        }
        for (const struAccount& u : users) {
            std::printf("%lld\t%s\t%s\tvip %d\tlogins %d\n", static_cast<long long>(u.id),
                        u.name.toLocal8Bit().constData(), u.nick.toLocal8Bit().constData(), u.vipInfoId,
                        u.logins);
        }
        return 0;
    }
    return usage("unknown command or wrong number of arguments");
}

void answer(httplib::Response& res, const struActAnswer& ans)
{
    res.status = ans.status;
    res.set_content(ans.body.toStdString(), "application/json; charset=utf-8");
}

void route(httplib::Server& svr, AccountService& service)
{
    svr.Get("/api/act.aspx", [&service](const httplib::Request& req, httplib::Response& res) {
        QMap<QString, QString> params;
        for (const auto& p : req.params) {
            params.insert(QString::fromStdString(p.first), QString::fromStdString(p.second));
        }
        const struActAnswer ans = service.handleAct(params, QString::fromStdString(req.remote_addr));
        answer(res, ans);
        logLine(QStringLiteral("%1 GET /api/act.aspx qt=%2 -> %3 %4")
                    .arg(QString::fromStdString(req.remote_addr), params.value(QStringLiteral("qt")))
                    .arg(ans.status)
                    .arg(ans.note));
    });
    svr.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
        const struActAnswer ans = AccountService::notFound(QString::fromStdString(req.path));
        answer(res, ans);
        logLine(QStringLiteral("%1 GET %2 -> %3")
                    .arg(QString::fromStdString(req.remote_addr), QString::fromStdString(req.path))
                    .arg(ans.status));
    });
}

bool splitListen(const QString& listen, std::string& host, int& port)
{
    const int colon = listen.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    port = colon > 0 ? listen.mid(colon + 1).toInt(&ok) : -1;
    host = listen.left(colon).toStdString();
    return ok && port >= 0 && port <= 65535;
}

int makeCert(const struArgs& args)
{
    if (args.cert.isEmpty() || args.key.isEmpty() || args.positional.size() != 1)
        return usage("makecert needs --cert FILE and --key FILE");
    const QStringList hosts = args.hosts.isEmpty()
                                  ? QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}
                                  : args.hosts;
    QString err;
    if (!SelfCert::make(hosts, args.cert, args.key, 825, err)) {
        std::fprintf(stderr, "ToviaAccountSvc: %s\n", err.toLocal8Bit().constData());
        return 1;
    }
    std::printf("certificate %s (hosts %s), key %s\n", args.cert.toLocal8Bit().constData(),
                hosts.join(QLatin1Char(' ')).toLocal8Bit().constData(), args.key.toLocal8Bit().constData());
    return 0;
}

int serve(AccountDb& db, const QString& listen, const struArgs& args)
{
    std::string host;
    int port = 0;
    if (!splitListen(listen, host, port)) {
        return usage("--listen needs HOST:PORT");
    }
    // SIGINT/SIGTERM are taken by one waiting thread; every other thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    AccountService service(db, toviaPayloadKey());
    GuardedServer svr(GuardedServer::struLimits(), logLine);
    if (!args.cert.isEmpty() || !args.key.isEmpty()) {
        QString err;
        if (args.cert.isEmpty() || args.key.isEmpty() || !svr.useTls(args.cert, args.key, err)) {
            std::fprintf(stderr, "ToviaAccountSvc: %s\n",
                         err.isEmpty() ? "--cert and --key go together" : err.toLocal8Bit().constData());
            return 1;
        }
    }
    route(svr, service);
    const int bound = port == 0 ? svr.bind_to_any_port(host) : (svr.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::fprintf(stderr, "ToviaAccountSvc: cannot listen on %s\n", listen.toLocal8Bit().constData());
        return 1;
    }
    std::printf("listening on %s:%d%s\n", host.c_str(), bound, svr.usesTls() ? " (https)" : "");
    std::fflush(stdout);

    std::atomic<bool> listenOver{false};
    std::thread waiter([&]() {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (listenOver) {
            return;
        }
        logLine(QStringLiteral("signal %1, stopping").arg(sig));
        while (!svr.is_running() && !listenOver) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        svr.stop();
    });
    const bool ok = svr.listen_after_bind();
    listenOver = true;
    pthread_kill(waiter.native_handle(), SIGTERM); // wakes the waiter when the server ended on its own
    waiter.join();
    logLine(QStringLiteral("stopped"));
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    struArgs args;
    QString err;
    if (!parseArgs(argc, argv, args, err)) {
        return usage(err.toLocal8Bit().constData());
    }
    if (args.positional.value(0) == QLatin1String("makecert")) {
        return makeCert(args);
    }
    if (args.db.isEmpty()) {
        return usage("--db FILE is required");
    }
    if (!args.listen.isEmpty() && !args.positional.isEmpty()) {
        return usage("--listen does not go with a command");
    }
    if (args.listen.isEmpty() && args.positional.isEmpty()) {
        return usage(nullptr);
    }
    AccountDb db;
    if (!db.open(args.db, err)) {
        std::fprintf(stderr, "ToviaAccountSvc: %s\n", err.toLocal8Bit().constData());
        return 1;
    }
    return args.listen.isEmpty() ? manage(db, args) : serve(db, args.listen, args);
}
