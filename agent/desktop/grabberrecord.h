#pragma once

#include <QString>

// The grabbers this agent started and that may still run, kept in its settings ("desktop/grabbers":
// the pid and start time of each), so that the grabbers of an agent that crashed are found and ended
// by the next one. An entry counts only while its process runs the agent's own ToviaMpeg.exe under
// this account and was started when the entry says: a pid given since to another program, or a
// grabber of another install, is never touched. Any thread.
namespace GrabberRecord {

void add(qint64 pid);
void remove(qint64 pid);
// Ends every recorded grabber still running grabberPath, except `keep`, and forgets the entries of
// processes that are gone. Returns how many were ended.
int endLeftovers(const QString& grabberPath, qint64 keep = 0);

} // namespace GrabberRecord
