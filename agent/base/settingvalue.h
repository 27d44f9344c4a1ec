#pragma once

#include "simusettings.h"

#include <QString>
#include <QVariant>

// One key of the settings file with its type and its default, so that a caller reads a plain value
// and the default of every key is written down once. Every read asks the file again (a value saved
// by the window is seen by the workers' next read).
//
//   inline const SettingValue<int> runLimit{"common/runLimit", 3};
//   if (running >= runLimit) ...
//   runLimit.set(5);
template <typename T> class SettingValue
{
public:
    SettingValue(const char* key, const T& defaultValue) : m_key(QLatin1String(key)), m_default(defaultValue)
    {
    }

    T value() const
    {
        const QVariant v = SimuSettings::value(m_key);
        return v.isValid() && v.canConvert<T>() ? v.value<T>() : m_default;
    }
    operator T() const { return value(); }
    void set(const T& value) const { SimuSettings::setValue(m_key, QVariant::fromValue(value)); }

    const QString& key() const { return m_key; }
    const T& defaultValue() const { return m_default; }

private:
    QString m_key;
    T m_default;
};
