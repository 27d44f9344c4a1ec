#include "jsonsplitter.h"

namespace {

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

JsonSplitter::JsonSplitter(int maxDocumentSize) : m_maxDocumentSize(maxDocumentSize) {}

void JsonSplitter::append(const QByteArray& bytes)
{
    m_buffer.append(bytes);
}

JsonSplitter::Status JsonSplitter::next(QByteArray& doc)
{
    int end = 0;
    const Status st = scan(m_buffer, end);
    if (st == Complete) {
        if (end > m_maxDocumentSize)
            return Invalid;
        doc = m_buffer.left(end);
        m_buffer.remove(0, end);
        return Complete;
    }
    if (st == Incomplete && m_buffer.size() > m_maxDocumentSize)
        return Invalid;
    return st;
}

QByteArray JsonSplitter::takeBuffered()
{
    QByteArray rest;
    rest.swap(m_buffer);
    return rest;
}

void JsonSplitter::clear()
{
    m_buffer.clear();
}

JsonSplitter::Status JsonSplitter::scan(const QByteArray& data, int& end)
{
    const int n = data.size();
    int i = 0;
    while (i < n && isJsonSpace(data.at(i)))
        ++i;
    if (i == n)
        return Incomplete;
    if (data.at(i) != '{')
        return Invalid;

    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (; i < n; ++i) {
        const char c = data.at(i);
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) {
                if (c != '}')
                    return Invalid;
                end = i + 1;
                return Complete;
            }
        }
    }
    return Incomplete;
}
