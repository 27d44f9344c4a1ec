#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>

namespace farmsim {

// Fault knobs. Each can be set for the whole farm or for one instance; an instance's own value
// wins over the farm's.
struct KnobDef
{
    const char* key;
    enum Type
    {
        Bool,
        Int,
        Choice
    } type;
    const char* defaultValue;
    const char* choices; // "a|b|c" for Choice
    const char* help;
};

const KnobDef* findKnob(const QString& key);
QJsonValue knobDefault(const QString& key);
// Parses "value" for the knob; an empty value means "remove" and yields an undefined value.
bool parseKnobValue(const QString& key, const QString& text, QJsonValue* pValue, QString* pErr);
QString knobHelp();

} // namespace farmsim
