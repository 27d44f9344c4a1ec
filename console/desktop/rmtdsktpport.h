#pragma once

#include <QString>

#include <functional>

// The console's choice of the UDP port on which an agent's desktop stream arrives.
namespace RmtDsktpPort {

constexpr int kBase = 6000;
constexpr int kLast = 65505; // taken without a test once reached

// True when the port is taken on this PC (default: the platform's UDP listener table).
using IsListed = std::function<bool(int port)>;

// 6000 plus the last octet of the agent's address (6000 when it does not parse), then the next
// one while the port counts as used: below 1024, above 65000, or listed. Waits pauseMs after each
// used port.
int choose(const QString& agentIPv4, const IsListed& isListed = IsListed(), int pauseMs = 100);

} // namespace RmtDsktpPort
