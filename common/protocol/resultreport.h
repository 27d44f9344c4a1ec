#pragma once

#include "jsonsplitter.h"

#include <QByteArray>

// The result report an agent sends to the console's result server, one per connection: a command
// document with one record, and after a successful start the thumbnail (thumbnail.h), raw, ended by
// the end of the connection. ResultReportReader frames one such connection without a socket: bytes
// go in as they arrive, and it says when the document is complete and whether the bytes behind it
// stay within their limit. Both sides meet here: the agent writes this stream, the console reads it.
namespace ResultReport {
// A one-record document is a few hundred bytes; a thumbnail a few kilobytes.
constexpr int kMaxDocumentBytes = 256 * 1024;
constexpr int kMaxThumbnailBytes = 2 * 1024 * 1024;
} // namespace ResultReport

class ResultReportReader
{
public:
    enum Status
    {
        NeedDocument, // the document is not complete yet
        ReadingTail,  // the document is complete; bytes behind it are collected
        Invalid,      // not a document, or a part exceeded its limit
    };

    explicit ResultReportReader(int maxDocumentBytes = ResultReport::kMaxDocumentBytes,
                                int maxTailBytes = ResultReport::kMaxThumbnailBytes);

    Status append(const QByteArray& bytes);
    Status status() const { return m_status; }
    QByteArray document() const { return m_document; }
    QByteArray tail() const { return m_tail; }

private:
    JsonSplitter m_splitter;
    int m_maxTailBytes;
    Status m_status = NeedDocument;
    QByteArray m_document;
    QByteArray m_tail;
};
