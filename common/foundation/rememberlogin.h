#pragma once

#include <QString>
#include <QStringList>

class QIODevice;

// The programs' option that provisions a PC: the login is stored with the password remembered and
// automatic login on, so that the program signs in by itself at this and every later start.
//
//   --remember-login USER --password-stdin       the password is the first line of standard input
//   --remember-login USER --password-file FILE   the first line of FILE, which only its owner may read
//   --remember-login USER PASSWORD               the password in the command line, where every local
//                                                user can see it (for tests)
namespace RememberLogin {

struct struOption
{
    bool present = false;
    QString user;
    QString password;
};

// Reads the option from the arguments (and the password from its source). False, with the reason
// in error, when the option is incomplete or its password cannot be read safely. Without the option
// it returns true and leaves present false. input replaces standard input (tests).
bool parse(const QStringList& args, struOption& option, QString& error, QIODevice* input = nullptr);

// The arguments without the option and its values (what a restarted program may be given again:
// the login is stored already, and a password must not travel further).
QStringList withoutOption(const QStringList& args);

// The usage lines of the option, for the programs' --help.
const char* usage();

} // namespace RememberLogin
