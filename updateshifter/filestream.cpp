#include "filestream.h"

namespace shifter {

bool readAndClose(FILE* f, std::string& bytes, size_t maxBytes)
{
    if (!f)
        return false;
    bytes.clear();
    char buf[16384];
    bool ok = true;
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
        bytes.append(buf, n);
        if (bytes.size() > maxBytes) {
            ok = false;
            break;
        }
    }
    if (std::ferror(f))
        ok = false;
    std::fclose(f);
    return ok;
}

bool writeAndClose(FILE* f, const std::string& bytes)
{
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0) && written;
}

} // namespace shifter
