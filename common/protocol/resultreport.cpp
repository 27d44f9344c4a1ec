#include "resultreport.h"

ResultReportReader::ResultReportReader(int maxDocumentBytes, int maxTailBytes)
    : m_splitter(maxDocumentBytes), m_maxTailBytes(maxTailBytes)
{
}

ResultReportReader::Status ResultReportReader::append(const QByteArray& bytes)
{
    if (m_status == Invalid)
        return m_status;
    if (m_status == ReadingTail) {
        m_tail.append(bytes);
    } else {
        m_splitter.append(bytes);
        switch (m_splitter.next(m_document)) {
        case JsonSplitter::Incomplete:
            return m_status;
        case JsonSplitter::Invalid:
            m_splitter.clear();
            return m_status = Invalid;
        case JsonSplitter::Complete:
            m_tail = m_splitter.takeBuffered();
            m_status = ReadingTail;
            break;
        }
    }
    if (m_tail.size() > m_maxTailBytes) {
        m_tail.clear();
        m_status = Invalid;
    }
    return m_status;
}
