#pragma once

#include "opsdialogs.h"

#include <QStringList>

class QWidget;

// The group operations' questions as the console's dialogs. The APK file dialog lists APK files
// first and opens in the folder of the last file chosen (kept in the console's settings).
class WidgetOpsDialogs : public OpsDialogs
{
public:
    explicit WidgetOpsDialogs(QWidget* pParent = nullptr) : m_pParent(pParent) {}
    QString chooseFile(const QString& title) override;
    bool confirm(const QString& title, const QString& text) override;
    bool askText(const QString& title, const QString& label, QString& text) override;
    bool askNumber(const QString& title, const QString& label, int& value, int iMin, int iMax) override;
    void showResult(const CCommResult& result) override;

    // The file dialog's filters, APK files first, then every file.
    static QStringList apkNameFilters();
    // The settings key of the folder the file dialog opens in.
    static QString lastFolderKey() { return QStringLiteral("ops/lastApkFolder"); }

private:
    QWidget* m_pParent;
};
