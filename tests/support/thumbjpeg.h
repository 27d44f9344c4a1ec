#pragma once

#include <QByteArray>
#include <QColor>

// A thumbnail-sized picture of one colour, as the JPEG an agent sends behind a report or in a
// discovery reply.
QByteArray thumbJpeg(const QColor& colour);
