#pragma once

#include <QString>
#include <QStringList>

// A self-signed certificate for serving HTTPS on a LAN of one's own (the demo, tests): an EC P-256
// key, the first host as the common name and every host as a subject alternative name (IP addresses
// as IP entries, names as DNS entries). The certificate is its own authority: the programs trust
// it when their setting account/caFile names the certificate file. The key file is owner-only.
namespace SelfCert {
bool make(const QStringList& hosts, const QString& certPath, const QString& keyPath, int days,
          QString& error);
} // namespace SelfCert
