#pragma once

#include "commresult.h"

#include <QString>

// The questions the group operations ask the user, behind an interface so that tests and headless
// runs can answer them. The widget implementation lives with the console's windows.
class OpsDialogs
{
public:
    virtual ~OpsDialogs() = default;
    // A file dialog titled `title` for an APK file; empty when cancelled.
    virtual QString chooseFile(const QString& title) = 0;
    // A message box with "确认" and "取消"; true for "确认".
    virtual bool confirm(const QString& title, const QString& text) = 0;
    // A text input that starts with `text` (and leaves it alone when cancelled); false when cancelled.
    virtual bool askText(const QString& title, const QString& label, QString& text) = 0;
    // A number input between iMin and iMax that starts with `value`; false when cancelled.
    virtual bool askNumber(const QString& title, const QString& label, int& value, int iMin, int iMax) = 0;
    // The result message box with one button.
    virtual void showResult(const CCommResult& result) = 0;
};
