#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace farmsim {

class Farm;

// What adb reaches inside one instance: its screen, its storage folder, its shell.

// The screen as the knob "screencap" has it (a picture, or a fully transparent one for "blank"), at
// the instance's screen size (knobs screenWidth, screenHeight); a picture shows a red ring where the
// instance was last tapped.
QImage screenOf(const Farm& farm, int i);
QSize screenSizeOf(const Farm& farm, int i);
// The device path's file inside the folder that stands for the instance's storage.
QString devicePath(const Farm& farm, int i, const QString& remote);
// A frame as "screencap" without -p gives it: 16-byte header of little-endian words (width,
// height, format 1 = RGBA_8888, colour space 0), then the pixels.
QByteArray rawFrameBytes(const QImage& screen);
QByteArray pngBytes(const QImage& screen);

// The instance's event log: one JSON object a line ({"ms", "cmd", "args"}) for every input event and
// every line its shell refused, so tests see exactly what reached the instance.
QString eventLogPath(const Farm& farm, int i);

// "adb shell <words>": adb hands the words, joined by blanks, to the device's shell as one line.
int runShellLine(const QString& farmDir, int i, const QString& line);
// "adb shell" without words: the device's shell reading lines from standard input until it ends or
// the instance goes away ("error: closed").
int runInteractiveShell(const QString& farmDir, int i);

} // namespace farmsim
