#pragma once

// Raw loopback TCP for the benchmarks: a receiving sink on a thread of its own and plain Qt senders,
// the yardstick the product's transfers are printed against.
#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

constexpr qint64 kMB = 1024 * 1024;
// The sink reads into one reused buffer of this size, as the agent does; the unbuffered raw sender
// writes blocks of this size, as the console does.
constexpr int kBlock = int(kMB);

// The middle value (the upper one of an even count); -1 for none.
double median(std::vector<double> v);
// CPU time of the whole process (every thread: sender, receiver, agent), in ms; -1 where unknown.
double processCpuMs();

// One timed transfer: wall time and the process's CPU time; secs -1 when the bytes did not all arrive.
struct Timing
{
    double secs = -1;
    double cpuMs = -1;
    // MB/s, -1 for a failed transfer.
    double rate(qint64 size) const { return secs > 0 ? size / double(kMB) / secs : -1; }
};

// How the sink receives.
struct SinkOptions
{
    QString filePath;              // write the bytes to this file (as the agent does); empty: drop them
    qint64 readBufferSize = 0;     // a bound on Qt's read buffer, so that the sink's memory stays flat
    std::function<void()> atStart; // runs once the sink listens, right before the clock starts
};

// Starts a sink on loopback, runs send(port) and times it until the sink has received `size` bytes
// and the connection has ended (bounded to two minutes).
Timing timedWithSink(const std::function<void(quint16 port)>& send, qint64 size,
                     const SinkOptions& options = SinkOptions());

// Raw loopback TCP as a plain Qt client writes it: `head`, then `size` bytes in 64 KB writes with up
// to four waiting in the buffered socket. False when the connection or a write failed.
bool rawSendBuffered(quint16 port, qint64 size, const QByteArray& head = QByteArray());
// Raw loopback TCP written the way the console writes a file, from memory instead: unbuffered
// socket, 1 MB blocks, each written once the one before has left Qt's buffer.
bool rawSendUnbuffered(quint16 port, qint64 size);
