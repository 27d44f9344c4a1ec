#pragma once

#include <QByteArray>
#include <QtGlobal>

// XXTEA (Corrected Block TEA of Wheeler and Needham) over byte strings. It protects the login reply's
// payload and the stored login file.
//
// Key: the first 16 bytes of a longer key, or a shorter key copied into 16 zero bytes; four 32-bit
// little-endian words. Data: 32-bit little-endian words, the last one zero-padded.
//
// xxteaEncrypt appends one word holding the plain length and outputs every word (so an empty input
// gives 4 bytes). xxteaDecrypt checks that length word against the ciphertext size and returns an
// empty string when it is out of range, or when the input has fewer than two words.
QByteArray xxteaEncrypt(const QByteArray& data, const QByteArray& key);
QByteArray xxteaDecrypt(const QByteArray& data, const QByteArray& key);

// The block operations on n words in place (n < 2: nothing changes). Exposed for known-answer tests.
void xxteaEncryptWords(quint32* v, int n, const quint32 k[4]);
void xxteaDecryptWords(quint32* v, int n, const quint32 k[4]);

// The keys compiled into the programs, as the cipher receives them: the configured characters
// followed by one zero byte (13 + 1 for the login reply's payload, 8 + 1 for the stored login).
inline QByteArray toviaPayloadKey()
{
    return QByteArray(TOVIA_PAYLOAD_KEY, int(sizeof(TOVIA_PAYLOAD_KEY)));
}
inline QByteArray toviaStoreKey()
{
    return QByteArray(TOVIA_STORE_KEY, int(sizeof(TOVIA_STORE_KEY)));
}
