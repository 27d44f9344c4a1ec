#include "selfcert.h"

#include <QHostAddress>
#include <QSaveFile>
#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace {

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

QString opensslError(const char* what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLatin1(text));
}

bool addExtension(X509* cert, int nid, const QString& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    const QByteArray v = value.toLatin1();
    Owned<X509_EXTENSION, X509_EXTENSION_free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, v.constData()));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

QString altNames(const QStringList& hosts)
{
    QStringList names;
    for (const QString& h : hosts)
        names << (QHostAddress(h).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + h;
    return names.join(QLatin1Char(','));
}

QByteArray pem(const std::function<int(BIO*)>& write)
{
    Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        return QByteArray();
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(len));
}

bool save(const QString& path, const QByteArray& bytes, QFileDevice::Permissions perms, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(perms) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

bool SelfCert::make(const QStringList& hosts, const QString& certPath, const QString& keyPath, int days,
                    QString& error)
{
    if (hosts.isEmpty()) {
        error = QStringLiteral("no host name for the certificate");
        return false;
    }
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    Owned<X509, X509_free> cert(X509_new());
    if (!key || !cert) {
        error = opensslError("cannot create the key");
        return false;
    }
    unsigned char serial[16];
    RAND_bytes(serial, sizeof(serial));
    serial[0] &= 0x7f;
    Owned<BIGNUM, BN_free> bn(BN_bin2bn(serial, sizeof(serial), nullptr));
    const QByteArray cn = hosts.first().toUtf8();
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool ok =
        X509_set_version(cert.get(), 2) == 1 &&
        BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * days) &&
        X509_set_pubkey(cert.get(), key.get()) == 1 &&
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tovia"),
                                   -1, -1, 0) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.constData()), -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), name) == 1 &&
        addExtension(cert.get(), NID_basic_constraints, QStringLiteral("critical,CA:TRUE,pathlen:0")) &&
        addExtension(cert.get(), NID_key_usage, QStringLiteral("critical,digitalSignature,keyCertSign")) &&
        addExtension(cert.get(), NID_ext_key_usage, QStringLiteral("serverAuth")) &&
        addExtension(cert.get(), NID_subject_key_identifier, QStringLiteral("hash")) &&
        addExtension(cert.get(), NID_subject_alt_name, altNames(hosts)) &&
        X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = opensslError("cannot build the certificate");
        return false;
    }
    const QByteArray certPem = pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
    const QByteArray keyPem = pem([&](BIO* b) {
        return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return save(keyPath, keyPem, QFileDevice::ReadOwner | QFileDevice::WriteOwner, error) &&
           save(certPath, certPem,
                QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                    QFileDevice::ReadOther,
                error);
}
