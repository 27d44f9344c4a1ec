// Writes an update list for the Windows run of UpdateShifter through the same list code, then
// reads it back as UpdateShifter will: make_list <base dir with trailing backslash> <host> [name...]
#include "shifteros.h"
#include "updaterserializer.h"

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fputs("usage: make_list <base> <host> [entry...]\n", stderr);
        return 2;
    }
    auto u16 = [](const wchar_t* w) { return std::u16string(w, w + std::wcslen(w)); };
    CUpdaterSerializer list(u16(argv[1]));
    list.m_hostProgram = u16(argv[2]);
    for (int i = 3; i < argc; ++i) {
        struUpdateEntry entry;
        entry.text1 = "1.0.1";
        entry.name = shifter::os::utf16ToAnsi(u16(argv[i]));
        entry.value = i;
        list.m_entries.push_back(entry);
    }
    if (!list.storeList()) {
        std::fprintf(stderr, "%s\n", list.errorText().c_str());
        return 1;
    }
    CUpdaterSerializer check(u16(argv[1]));
    if (!check.loadList() || check.m_entries.size() != list.m_entries.size() ||
        check.m_hostProgram != list.m_hostProgram) {
        std::fputs("list does not read back\n", stderr);
        return 1;
    }
    return 0;
}
