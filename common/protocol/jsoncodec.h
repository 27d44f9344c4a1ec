#pragma once

#include "commresult.h"
#include "simurecords.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>

// Compact UTF-8 JSON form of every record that crosses a socket or lands in the settings file.
// Serialisers write keys in ascending order with no white space; parsers accept any key order and
// read missing keys as 0 / empty. Malformed JSON is code 41 "解析json出错" with the parser's text in log.
namespace JsonCodec {

// Upper bound on the "size" of a command document or result list: a larger value is read as this
// many members (with a warning) instead of letting one document allocate without limit.
constexpr int kMaxDocumentMembers = 10000;

CCommResult serializeTypeIntMsg(int type, int int1, int int2);  // JSON text in str
CCommResult serializeTypeStrMsg(int type, const QString& str1); // JSON text in str
QByteArray serializeResultList(const QList<CCommResult>& results, const QString& title, int type);
QByteArray serializeSimuRecord(const struSimuRecord& rec);
QByteArray serializeCommandDoc(const QList<struSimuOper>& opers, const QString& usrName);
QJsonObject commandDocObject(const QList<struSimuOper>& opers, const QString& usrName);
QByteArray serializeSimuState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                              int iDaemonModel);

// Common step: parse bytes into a top-level object.
CCommResult parseObject(const QByteArray& json, QJsonObject& out);
CCommResult parseTypeIntMsg(const QString& text, int& type, int& int1, int& int2);
CCommResult parseTypeStrMsg(const QString& text);                             // iExtraRet = type, str = str1
CCommResult parseResultList(const QByteArray& json, QList<CCommResult>& out); // log = title, iExtraRet = type
CCommResult parseSimuRecord(const QByteArray& json, struSimuRecord& out);
// str = usrName. A non-empty peerAddr replaces every record's centerIP.
CCommResult parseCommandDoc(const QByteArray& json, QList<struSimuOper>& out, const QString& peerAddr);
// The same from a parsed document (one whose signature was checked on this very object).
CCommResult parseCommandObject(const QJsonObject& doc, QList<struSimuOper>& out, const QString& peerAddr);
CCommResult parseSimuState(const QByteArray& json, QString& pcName, QString& memuIdx, int& iState, int& iTime,
                           int& iDaemonModel);

} // namespace JsonCodec
