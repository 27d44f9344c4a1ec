#pragma once

#include <QByteArray>
#include <QString>

// The farm key: the secret that the console and the agents of one account share without ever
// sending it. Both programs derive it at login from what the user typed, with a slow password hash
// (PBKDF2-HMAC-SHA256) salted with the user name, so that a console and an agent of different
// passwords, or of different accounts with the same password, hold different keys. It is held in
// memory beside the login record (LoginRecord::farmKey()) and never written anywhere.
namespace FarmKey {

constexpr int kIterations = 100000;
constexpr int kKeyBytes = 32;

// Takes about a third of a second: call it on a worker thread.
QByteArray derive(const QString& userName, const QString& password);

} // namespace FarmKey
