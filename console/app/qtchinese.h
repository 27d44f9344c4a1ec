#pragma once

#include <QString>

class QCoreApplication;

// Qt's own Chinese texts (file dialog, message box and input buttons), from the translations folder
// beside the program (a deployed console) or else Qt's. Returns the file loaded, empty when none was
// found (the dialogs then keep Qt's English texts; logged as a warning).
QString installQtChineseTranslations(QCoreApplication& app);
