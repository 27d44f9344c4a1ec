#pragma once
// The update list "SerialLizeFile.dat": the host program to start after the move and the files to
// move. The file is an archive stream: archived strings (8-bit or UTF-16, with a one-, three- or
// seven-byte length) and little-endian 32-bit integers.
#include <cstdint>
#include <string>
#include <vector>

// One file of an update. Texts are narrow, in the ANSI code page (UTF-8 on Linux).
struct struUpdateEntry
{
    std::string text1; // carried for the updater
    std::string name;  // file name relative to the base directory
    int32_t value = 0; // carried for the updater
    std::string text3; // carried for the updater
    std::string text4; // carried for the updater
};

class CUpdaterSerializer
{
public:
    // baseDir: the directory of the programs, ending in the path separator.
    explicit CUpdaterSerializer(const std::u16string& baseDir);
    virtual ~CUpdaterSerializer() = default;

    // Creates or truncates the list file and writes the host program and all entries.
    virtual bool storeList();
    // Reads the list file. On failure the entries are empty and the error text says why.
    virtual bool loadList();

    // The error text as UTF-8 (it is kept in the ANSI code page).
    std::string errorText() const;
    void setErrorText(const std::string& utf8);

    // Encoding of the archive, exposed for the updater and for checks of the byte layout.
    static void appendUtf16String(std::string& out, const std::u16string& text);
    static void appendAnsiString(std::string& out, const std::string& text);
    static void appendInt32(std::string& out, int32_t value);
    // Parses a whole list image; false when a string or integer runs past the end.
    bool parseList(const std::string& bytes);
    std::string serializeList() const;

    std::vector<struUpdateEntry> m_entries;
    char m_errText[1024] = {};
    std::u16string m_reportAddr;
    std::u16string m_hostProgram;
    std::u16string m_listPath;
    std::u16string m_downloadDir;
    std::u16string m_flagFileName;
    std::u16string m_verdictPath;
};
