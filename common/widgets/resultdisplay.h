#pragma once

#include "commresult.h"

#include <functional>

// Shows a result to the user in a parentless box ("确认", plus "取消" when asked; the warning icon for an
// error, titled "错误", else the information icon) and
// writes str and log to the debug log. Returns iRet 1 when "确认" was pressed in the two-button form.
// Callable from any thread: a worker's call is shown by the GUI thread while the worker waits; without
// a widget application nothing is shown.
CCommResult showResult(const CCommResult& result, bool twoButtons = false);

// The box itself can be replaced (tests, headless runs): receives title, text and whether "取消" is
// offered; returns true when "确认" was pressed. An empty function restores the real message box.
using ResultBoxFn = std::function<bool(const QString& title, const QString& text, bool twoButtons)>;
void setResultBox(ResultBoxFn fn);
// The box in use: the one set, else the real message box (a replacement that also shows the box).
ResultBoxFn currentResultBox();

// Unattended runs (--batch): every box is answered "确认" at once and its title and text go to
// standard error.
void useStderrResultBox();
