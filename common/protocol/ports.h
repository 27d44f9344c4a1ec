#pragma once

#include <QtGlobal>

// The fixed ports on which the agent and the console meet. Classes take a port as a constructor
// argument defaulting to these, so that tests can run on free ports.
namespace Tovia {
constexpr quint16 kDiscoveryPort = 7777;      // UDP: console queries, agent replies
constexpr quint16 kCommandPort = 7778;        // TCP: one command document per connection, to the agent
constexpr quint16 kResultPort = 7779;         // TCP: one result report per connection, to the console
constexpr quint16 kDesktopControlPort = 7800; // TCP: mouse and key messages during a remote desktop
} // namespace Tovia
