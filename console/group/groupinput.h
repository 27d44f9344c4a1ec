#pragma once

#include <QPointF>
#include <QRectF>
#include <QSize>

#include <optional>

// How the live screen's input becomes group events.
namespace GroupInput {

// Android key codes of the keys the screen passes on.
enum AndroidKey
{
    kKeyHome = 3,
    kKeyBack = 4,
    kKeyUp = 19,
    kKeyDown = 20,
    kKeyLeft = 21,
    kKeyRight = 22,
    kKeyTab = 61,
    kKeySpace = 62,
    kKeyEnter = 66,
    kKeyDel = 67, // Backspace
    kKeyMenu = 82,
    kKeyPageUp = 92,
    kKeyPageDown = 93,
    kKeyForwardDel = 112,
    kKeyMoveEnd = 123,
    kKeyAppSwitch = 187,
};

// The Android key code of a Qt key, or -1 when the key is not passed on as a key (letters, digits
// and the like reach the emulators as typed text). Esc is the phone's Back.
int androidKeyCode(int qtKey);

// Where a widget of size `widget` shows a picture of size `picture`: as large as fits, its aspect
// kept, centred.
QRectF shownRect(const QSize& widget, const QSize& picture);
// A point of such a widget as fractions of the picture, 0..1 each; points beside the picture go to
// its edge. None when nothing is shown.
std::optional<QPointF> fractionOf(const QPointF& local, const QSize& widget, const QSize& picture);

// A press and release this far apart (widget pixels) at most are a tap, farther a swipe; held still
// this long, a long press.
constexpr int kTapSlopPx = 6;
constexpr int kLongPressMs = 500;
// Swipe durations are bounded as the events are.
constexpr int kMaxSwipeMs = 10000;
// Wheel notches (120 units each) as roll steps, -100..100; a wheel turned away from the user scrolls
// up, which is a roll with negative dy.
int rollSteps(int angleDelta);

} // namespace GroupInput
