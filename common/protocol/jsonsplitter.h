#pragma once

#include <QByteArray>

// Incremental framing of a byte stream that carries JSON documents back to back, possibly followed
// by raw bytes (an APK after an install command). Finds the end of the first complete top-level
// object (string- and escape-aware) so that a document split over several reads, or merged with
// what follows it in one read, is neither lost nor misread.
class JsonSplitter
{
public:
    enum Status
    {
        Incomplete, // more bytes are needed
        Complete,   // a whole top-level object is available
        Invalid,    // the stream does not start with an object, or exceeds the size cap
    };

    explicit JsonSplitter(int maxDocumentSize = 16 * 1024 * 1024);

    void append(const QByteArray& bytes);
    // On Complete, moves the first object into doc and keeps the bytes after it buffered.
    Status next(QByteArray& doc);
    // Hands back (and clears) whatever is buffered: the bytes that followed the last document.
    QByteArray takeBuffered();
    int bufferedSize() const { return m_buffer.size(); }
    void clear();

    // Pure scan: on Complete, end is the index one past the closing brace of the first object
    // (leading white space is skipped).
    static Status scan(const QByteArray& data, int& end);

private:
    QByteArray m_buffer;
    int m_maxDocumentSize;
};
