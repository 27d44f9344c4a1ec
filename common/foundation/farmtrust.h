#pragma once

#include "commresult.h"
#include "msgauth.h"
#include "simurecords.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// What this program trusts: messages signed with the farm key of the signed-in account and, while
// security/acceptUnsigned is 1, the plain messages of peers that know no farm key. Sending sides sign
// with the same key; a program without a key (nobody signed in) sends plain messages, which peers
// refuse unless they accept unsigned ones.
namespace FarmTrust {

// security/acceptUnsigned as read from the settings file; kept in memory because every received
// message asks for it. loadSetting() at start (once the data directory is known).
void loadSetting();
bool acceptUnsigned();
void setAcceptUnsigned(bool accept);   // this process only
void storeAcceptUnsigned(bool accept); // and the settings file

void sign(QJsonObject& doc, MsgAuth::eChannel channel, const QByteArray& binding = QByteArray());
QByteArray signDatagram(const QByteArray& datagram, MsgAuth::eChannel channel);
MsgAuth::eVerdict check(MsgVerifier& verifier, const QJsonObject& doc,
                        const QByteArray& binding = QByteArray());
MsgAuth::eVerdict checkDatagram(MsgVerifier& verifier, const QByteArray& datagram, QByteArray* body);

// A command document (commands, result reports): signed, with the digest of the bytes that follow
// it when there are any.
QByteArray commandDoc(const QList<struSimuOper>& opers, const QString& usrName, MsgAuth::eChannel channel,
                      const QByteArray& tail = QByteArray(), QByteArray* pNonce = nullptr);

struct ReadDoc
{
    MsgAuth::eVerdict verdict = MsgAuth::eVerdict::Malformed;
    CCommResult parse;         // code 41 when the bytes are no JSON object; str = usrName
    QJsonObject doc;           // as received, for nonceOf / tailMatches
    QList<struSimuOper> opers; // filled only when the verdict accepts the document
    bool accepted() const { return MsgAuth::isAccepted(verdict); }
};
// Parses and checks a command document; peerAddr replaces every record's centerIP.
ReadDoc readCommandDoc(const QByteArray& bytes, MsgVerifier& verifier, const QString& peerAddr);

// The nonce of the signed remote-desktop begin of a run (sent or received), which the run's control
// connection signs its first message with. The last few runs are remembered; empty for others.
void noteRunBegin(const QString& runId, const QByteArray& nonce);
QByteArray runBinding(const QString& runId);

// A discovery query, signed.
QByteArray query(int type, const QString& userName);

} // namespace FarmTrust
