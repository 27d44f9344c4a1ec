#pragma once
// Helpers shared by the per-OS halves of the platform layer. Not part of the interface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace detail {

// Lower-case ASCII copy.
std::string asciiLower(const std::string& text);

// True when the file name of `path` (after the last '/' or '\\') contains `fragment` without
// regard to ASCII case. An empty fragment is contained in nothing.
bool fileNameContains(const std::string& path, const std::string& fragment);

// Everything before the last '/' or '\\' ("" when there is none); a bare drive "C:" keeps its
// separator ("C:\\").
std::string folderOfPath(const std::string& path);

// Appends text / a number to a fixed buffer without allocating (usable in a signal handler).
// The buffer stays NUL-terminated; output that does not fit is cut.
struct FixedText
{
    char* begin;
    std::size_t capacity; // including the NUL
    std::size_t length = 0;

    FixedText(char* buffer, std::size_t size);
    FixedText& text(const char* s);
    FixedText& hex(std::uint64_t value); // lower case, no prefix
    FixedText& dec(std::int64_t value);
};

// IPv4 in host byte order. parseIPv4 accepts exactly four dotted decimal parts 0..255.
bool parseIPv4(const std::string& text, std::uint32_t& address);
std::string formatIPv4(std::uint32_t address);

struct InterfaceAddress
{
    std::uint32_t address; // host byte order
    std::uint32_t netmask; // host byte order
};

// Address of the interface whose subnet holds the peer, the longest netmask winning; "" when none.
std::string addressOnSubnetOf(const std::vector<InterfaceAddress>& interfaces, std::uint32_t peer);

} // namespace detail
} // namespace platform
