#include "xxtea.h"

#include <QVector>

namespace {
constexpr quint32 kDelta = 0x9E3779B9u;

inline quint32 mx(quint32 sum, quint32 y, quint32 z, quint32 p, quint32 e, const quint32 k[4])
{
    return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

void keyWords(const QByteArray& key, quint32 k[4])
{
    unsigned char bytes[16] = {};
    const int len = qMin(key.size(), 16);
    for (int i = 0; i < len; ++i) {
        bytes[i] = static_cast<unsigned char>(key.at(i));
    }
    for (int i = 0; i < 4; ++i) {
        k[i] = quint32(bytes[4 * i]) | quint32(bytes[4 * i + 1]) << 8 | quint32(bytes[4 * i + 2]) << 16 |
               quint32(bytes[4 * i + 3]) << 24;
    }
}

QVector<quint32> toWords(const QByteArray& data, bool appendLength)
{
    const int n = (data.size() + 3) / 4;
    QVector<quint32> v(appendLength ? n + 1 : n, 0u);
    for (int i = 0; i < data.size(); ++i) {
        v[i >> 2] |= quint32(static_cast<unsigned char>(data.at(i))) << ((i & 3) * 8);
    }
    if (appendLength) {
        v[n] = quint32(data.size());
    }
    return v;
}

QByteArray toBytes(const QVector<quint32>& v, int length)
{
    QByteArray out(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i) {
        out[i] = char((v[i >> 2] >> ((i & 3) * 8)) & 0xFF);
    }
    return out;
}
} // namespace

void xxteaEncryptWords(quint32* v, int n, const quint32 k[4])
{
    if (n < 2) {
        return;
    }
    const quint32 last = quint32(n - 1);
    quint32 z = v[last];
    quint32 sum = 0;
    for (int q = 6 + 52 / n; q > 0; --q) {
        sum += kDelta;
        const quint32 e = (sum >> 2) & 3;
        quint32 p = 0;
        for (; p < last; ++p) {
            const quint32 y = v[p + 1];
            z = v[p] += mx(sum, y, z, p, e, k);
        }
        const quint32 y = v[0];
        z = v[last] += mx(sum, y, z, p, e, k);
    }
}

void xxteaDecryptWords(quint32* v, int n, const quint32 k[4])
{
    if (n < 2) {
        return;
    }
    const quint32 last = quint32(n - 1);
    const int rounds = 6 + 52 / n;
    quint32 y = v[0];
    quint32 sum = quint32(rounds) * kDelta;
    for (int q = rounds; q > 0; --q) {
        const quint32 e = (sum >> 2) & 3;
        quint32 p = last;
        for (; p > 0; --p) {
            const quint32 z = v[p - 1];
            y = v[p] -= mx(sum, y, z, p, e, k);
        }
        const quint32 z = v[last];
        y = v[0] -= mx(sum, y, z, p, e, k);
        sum -= kDelta;
    }
}

QByteArray xxteaEncrypt(const QByteArray& data, const QByteArray& key)
{
    quint32 k[4];
    keyWords(key, k);
    QVector<quint32> v = toWords(data, true);
    xxteaEncryptWords(v.data(), v.size(), k);
    return toBytes(v, v.size() * 4);
}

QByteArray xxteaDecrypt(const QByteArray& data, const QByteArray& key)
{
    QVector<quint32> v = toWords(data, false);
    const int n = v.size();
    if (n < 2) {
        return QByteArray();
    }
    quint32 k[4];
    keyWords(key, k);
    xxteaDecryptWords(v.data(), n, k);
    const qint64 m = v[n - 1];
    if (m < 4 * qint64(n) - 7 || m > 4 * qint64(n) - 4) {
        return QByteArray();
    }
    return toBytes(v, int(m));
}
