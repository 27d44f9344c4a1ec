#include "updaterserializer.h"

#include "shifteros.h"
#include "textconv.h"

#include <cstring>

namespace {

// A list holds a few paths and names; anything far larger is not a list.
constexpr size_t kMaxListBytes = 64u * 1024u * 1024u;

void appendLength(std::string& out, uint64_t length)
{
    auto put16 = [&out](uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    };
    if (length < 0xFF) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(0xFF);
    if (length < 0xFFFE) {
        put16(static_cast<uint16_t>(length));
        return;
    }
    put16(0xFFFF);
    CUpdaterSerializer::appendInt32(out, static_cast<int32_t>(static_cast<uint32_t>(length)));
}

// Sequential reader over the list image; every read checks that the bytes are there.
class CArchiveReader
{
public:
    explicit CArchiveReader(const std::string& bytes) : m_bytes(bytes) {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }

    bool readInt32(int32_t& value)
    {
        uint64_t v = 0;
        if (!readLittle(4, v))
            return false;
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }

    // Reads one archived string; wide tells which form it had.
    bool readString(std::u16string& wideText, std::string& narrowText, bool& wide)
    {
        uint64_t length = 0;
        if (!readLength(length, wide))
            return false;
        const size_t left = m_bytes.size() - m_pos;
        if (!wide) {
            if (length > left)
                return false;
            narrowText.assign(m_bytes, m_pos, static_cast<size_t>(length));
            m_pos += static_cast<size_t>(length);
            return true;
        }
        if (length > left / 2)
            return false;
        wideText.resize(static_cast<size_t>(length));
        for (size_t i = 0; i < wideText.size(); ++i) {
            const auto lo = static_cast<unsigned char>(m_bytes[m_pos + 2 * i]);
            const auto hi = static_cast<unsigned char>(m_bytes[m_pos + 2 * i + 1]);
            wideText[i] = static_cast<char16_t>(lo | (hi << 8));
        }
        m_pos += static_cast<size_t>(length) * 2;
        return true;
    }

private:
    bool readLittle(int count, uint64_t& value)
    {
        if (m_bytes.size() - m_pos < static_cast<size_t>(count))
            return false;
        value = 0;
        for (int i = 0; i < count; ++i)
            value |= static_cast<uint64_t>(static_cast<unsigned char>(m_bytes[m_pos + i])) << (8 * i);
        m_pos += static_cast<size_t>(count);
        return true;
    }

    // Length forms: byte < 0xFF; 0xFF + 16-bit < 0xFFFF (0xFFFE marks UTF-16 and the length follows
    // anew); 0xFF 0xFFFF + 32-bit < 0xFFFFFFFF; otherwise a 64-bit length follows.
    bool readLength(uint64_t& length, bool& wide)
    {
        wide = false;
        uint64_t v = 0;
        if (!readLittle(1, v))
            return false;
        if (v < 0xFF) {
            length = v;
            return true;
        }
        if (!readLittle(2, v))
            return false;
        if (v == 0xFFFE) {
            wide = true;
            if (!readLittle(1, v))
                return false;
            if (v < 0xFF) {
                length = v;
                return true;
            }
            if (!readLittle(2, v))
                return false;
        }
        if (v < 0xFFFF) {
            length = v;
            return true;
        }
        if (!readLittle(4, v))
            return false;
        if (v < 0xFFFFFFFFull) {
            length = v;
            return true;
        }
        return readLittle(8, length);
    }

    const std::string& m_bytes;
    size_t m_pos = 0;
};

bool readHost(CArchiveReader& reader, std::u16string& host)
{
    std::string narrow;
    bool wide = false;
    if (!reader.readString(host, narrow, wide))
        return false;
    if (!wide)
        host = shifter::os::ansiToUtf16(narrow);
    return true;
}

bool readEntryText(CArchiveReader& reader, std::string& text)
{
    std::u16string wideText;
    bool wide = false;
    if (!reader.readString(wideText, text, wide))
        return false;
    if (wide)
        text = shifter::os::utf16ToAnsi(wideText);
    return true;
}

bool readEntry(CArchiveReader& reader, struUpdateEntry& entry)
{
    return readEntryText(reader, entry.text1) && readEntryText(reader, entry.name) &&
           reader.readInt32(entry.value) && readEntryText(reader, entry.text3) &&
           readEntryText(reader, entry.text4);
}

} // namespace

CUpdaterSerializer::CUpdaterSerializer(const std::u16string& baseDir)
    : m_reportAddr(u"/api/act.aspx?qt=5002"), m_listPath(baseDir + u"SerialLizeFile.dat"),
      m_downloadDir(baseDir + u"TempDldFile" + static_cast<char16_t>(shifter::os::pathSeparator())),
      m_flagFileName(u"MovePatchRunFlag.dat"), m_verdictPath(baseDir + u"CheckUpdateResult.dat")
{
}

std::string CUpdaterSerializer::errorText() const
{
    return shifter::os::ansiToUtf8(std::string(m_errText, strnlen(m_errText, sizeof(m_errText))));
}

void CUpdaterSerializer::setErrorText(const std::string& utf8)
{
    std::string ansi = shifter::os::utf16ToAnsi(shifter::utf8ToUtf16(utf8));
    if (ansi.size() >= sizeof(m_errText))
        ansi.resize(sizeof(m_errText) - 1);
    std::memset(m_errText, 0, sizeof(m_errText));
    std::memcpy(m_errText, ansi.data(), ansi.size());
}

void CUpdaterSerializer::appendUtf16String(std::string& out, const std::u16string& text)
{
    out += static_cast<char>(0xFF);
    out += static_cast<char>(0xFE);
    out += static_cast<char>(0xFF);
    appendLength(out, text.size());
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
}

void CUpdaterSerializer::appendAnsiString(std::string& out, const std::string& text)
{
    appendLength(out, text.size());
    out += text;
}

void CUpdaterSerializer::appendInt32(std::string& out, int32_t value)
{
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string CUpdaterSerializer::serializeList() const
{
    std::string out;
    appendUtf16String(out, m_hostProgram);
    for (const auto& e : m_entries) {
        appendUtf16String(out, shifter::os::ansiToUtf16(e.text1));
        appendUtf16String(out, shifter::os::ansiToUtf16(e.name));
        appendInt32(out, e.value);
        appendUtf16String(out, shifter::os::ansiToUtf16(e.text3));
        appendUtf16String(out, shifter::os::ansiToUtf16(e.text4));
    }
    return out;
}

bool CUpdaterSerializer::parseList(const std::string& bytes)
{
    m_entries.clear();
    CArchiveReader reader(bytes);
    std::u16string host;
    if (!readHost(reader, host))
        return false;
    std::vector<struUpdateEntry> entries;
    while (!reader.atEnd()) {
        struUpdateEntry entry;
        if (!readEntry(reader, entry))
            return false;
        entries.push_back(std::move(entry));
    }
    m_hostProgram = host;
    m_entries = std::move(entries);
    return true;
}

bool CUpdaterSerializer::storeList()
{
    const std::string path = shifter::utf16ToUtf8(m_listPath);
    if (!shifter::os::writeWholeFile(path, serializeList())) {
        setErrorText(shifter::formatText("无法写入升级文件：%s", path.c_str()));
        return false;
    }
    return true;
}

bool CUpdaterSerializer::loadList()
{
    m_entries.clear();
    const std::string path = shifter::utf16ToUtf8(m_listPath);
    std::string bytes;
    if (!shifter::os::readWholeFile(path, bytes, kMaxListBytes)) {
        setErrorText(shifter::formatText("没有升级文件：%s\n请重新打开exe文件", path.c_str()));
        return false;
    }
    if (!parseList(bytes)) {
        setErrorText(shifter::formatText("升级文件不完整：%s", path.c_str()));
        return false;
    }
    return true;
}
