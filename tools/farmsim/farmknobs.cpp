#include "farmknobs.h"

#include <QStringList>

namespace farmsim {

namespace {

const KnobDef kKnobs[] = {
    {"bootDelayMs", KnobDef::Int, "2000", "",
     "ms from launch until adb lists the instance as \"device\" (before: \"offline\")"},
    {"bootFail", KnobDef::Bool, "false", "", "the instance never comes online in adb"},
    {"hang", KnobDef::Bool, "false", "",
     "the instance process stops itself (SIGSTOP) and its adb shell answers nothing; clearing the knob "
     "continues it"},
    {"shellHang", KnobDef::Bool, "false", "",
     "the instance's adb shell takes its lines but answers none of them (the instance itself runs on); "
     "clearing the knob lets it go on"},
    {"screenWidth", KnobDef::Int, "270", "", "width of the instance's screen in pixels (screencap, wm size)"},
    {"screenHeight", KnobDef::Int, "480", "", "height of the instance's screen in pixels"},
    {"adbNoise", KnobDef::Bool, "false", "", "adb writes a warning to its standard error on every call"},
    {"screencap", KnobDef::Choice, "ok", "ok|empty|blank|garbage",
     "screenshot: a picture, a 0-byte file, a fully transparent picture, or bytes that are no image"},
    {"install", KnobDef::Choice, "ok", "ok|refuse|exists",
     "install: success, a refusal, or INSTALL_FAILED_ALREADY_EXISTS"},
    {"deleteLocked", KnobDef::Bool, "false", "", "deleting the instance fails as locked"},
    {"renameFails", KnobDef::Bool, "false", "", "LDPlayer: renaming the instance fails with an error"},
    {"rawTitles", KnobDef::Bool, "false", "",
     "LDPlayer: a rename takes the title as it comes, commas and line breaks included, so that the "
     "listing shows whatever lines the title holds"},
    {"toolDelayMs", KnobDef::Int, "0", "",
     "every tool call concerning it sleeps this long first, and so does every line its adb shell runs"},
    {"listDelayMs", KnobDef::Int, "0", "",
     "the product's listings (dnconsole list2, MEmuManage list runningvms|vms) sleep this long first"},
    {"unkillable", KnobDef::Bool, "false", "",
     "stop commands are ignored, the process ignores SIGTERM, and after it was killed the tools "
     "keep listing it as running with its last pid"},
    {"window", KnobDef::Bool, "true", "",
     "an MEmu instance shows a window titled with its name when an X display is reachable"},
    {"ldWindow", KnobDef::Bool, "false", "",
     "an LDPlayer instance shows its player window too (titled with its name) when an X display is "
     "reachable"},
};

} // namespace

const KnobDef* findKnob(const QString& key)
{
    for (const KnobDef& k : kKnobs) {
        if (key == QLatin1String(k.key))
            return &k;
    }
    return nullptr;
}

QJsonValue knobDefault(const QString& key)
{
    const KnobDef* pDef = findKnob(key);
    if (!pDef)
        return QJsonValue(QJsonValue::Undefined);
    QJsonValue v;
    QString err;
    parseKnobValue(key, QString::fromLatin1(pDef->defaultValue), &v, &err);
    return v;
}

bool parseKnobValue(const QString& key, const QString& text, QJsonValue* pValue, QString* pErr)
{
    const KnobDef* pDef = findKnob(key);
    if (!pDef) {
        *pErr = QStringLiteral("unknown knob \"%1\"").arg(key);
        return false;
    }
    if (text.isEmpty()) {
        *pValue = QJsonValue(QJsonValue::Undefined);
        return true;
    }
    switch (pDef->type) {
    case KnobDef::Bool: {
        const QString t = text.toLower();
        if (t == "1" || t == "true" || t == "on" || t == "yes") {
            *pValue = true;
        } else if (t == "0" || t == "false" || t == "off" || t == "no") {
            *pValue = false;
        } else {
            *pErr = QStringLiteral("knob %1 takes true or false, not \"%2\"").arg(key, text);
            return false;
        }
        return true;
    }
    case KnobDef::Int: {
        bool ok = false;
        const int n = text.toInt(&ok);
        if (!ok || n < 0) {
            *pErr = QStringLiteral("knob %1 takes a number >= 0, not \"%2\"").arg(key, text);
            return false;
        }
        *pValue = n;
        return true;
    }
    case KnobDef::Choice:
        if (!QString::fromLatin1(pDef->choices).split('|').contains(text)) {
            *pErr = QStringLiteral("knob %1 takes one of %2, not \"%3\"")
                        .arg(key, QString::fromLatin1(pDef->choices), text);
            return false;
        }
        *pValue = text;
        return true;
    }
    return false;
}

QString knobHelp()
{
    QString s;
    for (const KnobDef& k : kKnobs) {
        QString type = k.type == KnobDef::Bool  ? QStringLiteral("true|false")
                       : k.type == KnobDef::Int ? QStringLiteral("number")
                                                : QString::fromLatin1(k.choices);
        s += QStringLiteral("  %1=%2 (default %3)\n      %4\n")
                 .arg(QLatin1String(k.key), type, QLatin1String(k.defaultValue), QLatin1String(k.help));
    }
    return s;
}

} // namespace farmsim
