#pragma once

#include <QImage>
#include <QString>

namespace farmsim {

// Size of an instance's screen: portrait, as a phone.
constexpr int kScreenWidth = 270;
constexpr int kScreenHeight = 480;

// What an instance's screen shows at a moment: its name, its index and a clock, on a colour of
// its own, so two pictures taken at different times differ. Needs a GUI application (fonts).
QImage renderScreen(const QString& name, const QString& idx, qint64 msSinceEpoch);

} // namespace farmsim
