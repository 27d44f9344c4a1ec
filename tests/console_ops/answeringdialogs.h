#pragma once

#include "opsdialogs.h"

#include <QList>

// The operations' questions answered as a user would who always agrees: the file and the name set
// beforehand; every result shown is kept.
class AnsweringDialogs : public OpsDialogs
{
public:
    QString file, name;
    QList<CCommResult> shown;
    QString chooseFile(const QString&) override { return file; }
    bool confirm(const QString&, const QString&) override { return true; }
    bool askText(const QString&, const QString&, QString& text) override
    {
        text = name;
        return true;
    }
    void showResult(const CCommResult& r) override { shown << r; }
};
