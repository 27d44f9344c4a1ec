#include "farmkey.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>

QByteArray FarmKey::derive(const QString& userName, const QString& password)
{
    const QByteArray salt = QByteArrayLiteral("tovia-farm-key\n") + userName.toUtf8();
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              kIterations, kKeyBytes);
}
