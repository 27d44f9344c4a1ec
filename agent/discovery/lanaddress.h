#pragma once

#include <QString>

// This PC's IPv4 address as the LAN reaches it: the source address of its default route, else the
// first IPv4 address of an interface that is up and not a loopback, else "127.0.0.1". An emulator
// PC often has virtual adapters whose addresses come first in the interface list.
QString lanIPv4();
