#pragma once

#include "ports.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The messages of the remote-desktop control connection: compact JSON objects {"type","int1","int2"}
// back to back, without length or terminator. Console to agent: the mouse (codes 1..16, x and y in
// the agent's screen pixels), the keyboard and the wheel (from 256), and the run's own messages (from
// 512: the hello that names the run, the heartbeat). Agent to console: a notice (1024) telling why
// the run ended. A peer ignores codes it does not know.
namespace RmtDsktpMsg {

enum eType
{
    eMouseMove = 1,
    eLeftDown = 2,
    eLeftUp = 4,
    eRightDown = 8,
    eRightUp = 16,
    eKeyDown = 256, // int1: Windows virtual-key code
    eKeyUp = 257,   // int1: Windows virtual-key code
    eWheel = 258,   // int1: notches, positive away from the user
    eHello = 512,   // first message of a connection: "runId", the run its begin started
    eHeartbeat = 513,
    eRunEnded = 1024, // agent to console: int1 the reason (eEndReason), "str1" a detail
};

// Why a run ended, as the agent tells its console (eRunEnded) and logs it.
enum eEndReason
{
    eEndNone = 0,
    eEndTakenOver = 1,      // a begin from another console replaced the run ("str1": its address)
    eEndGrabberFailed = 2,  // the grabber did not start or ended at once ("str1": its last words)
    eEndGrabberStopped = 3, // the grabber kept dying while streaming ("str1": its last words)
    eEndAgentClosing = 4,   // the agent program is shutting down
    eEndReplaced = 5,       // a newer begin of the same console replaced the run
    eEndConsoleGone = 6,    // the console's control connection was lost or never made (not told)
    eEndByConsole = 7,      // the console's end command (not told)
};

// TCP port of the agent's control server during a run.
constexpr quint16 kControlPort = Tovia::kDesktopControlPort;
// A connected console sends a heartbeat this often; an agent may take a much longer silence as a
// console that is gone.
constexpr int kHeartbeatMs = 2000;
// Longest message either side takes; anything longer is no message.
constexpr int kMaxMessageBytes = 4096;

struct Message
{
    int type = 0;
    int int1 = 0;
    int int2 = 0;
    QString runId; // eHello
    QString text;  // eRunEnded
};

// A fresh run id: 16 hexadecimal digits from the system's random source.
QString newRunId();
// A run id as it may travel: 1..64 letters, digits, '-' or '_'.
bool isRunId(const QString& runId);

QByteArray encode(int type, int int1, int int2);
QByteArray helloMessage(const QString& runId);
// The hello as an object, to be signed before it is sent.
QJsonObject helloObject(const QString& runId);
QByteArray heartbeatMessage();
QByteArray runEndedMessage(int reason, const QString& text);

// False when the bytes are no JSON object; unknown keys are ignored, a run id that is not one reads
// as empty, a text is cut to 512 characters.
bool decode(const QByteArray& doc, Message& out);

} // namespace RmtDsktpMsg
