#pragma once

#include "opsdialogs.h"

class QWidget;

// The group operations' questions as the console's dialogs.
class WidgetOpsDialogs : public OpsDialogs
{
public:
    explicit WidgetOpsDialogs(QWidget* pParent = nullptr) : m_pParent(pParent) {}
    QString chooseFile(const QString& title) override;
    bool confirm(const QString& title, const QString& text) override;
    bool askText(const QString& title, const QString& label, QString& text) override;
    void showResult(const CCommResult& result) override;

private:
    QWidget* m_pParent;
};
