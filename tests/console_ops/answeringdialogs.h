#pragma once

#include "opsdialogs.h"

#include <QList>
#include <QStringList>

// The operations' questions answered as told, by default as a user would who always agrees: the file
// and the text set beforehand. Every question asked and every result shown is kept.
class AnsweringDialogs : public OpsDialogs
{
public:
    QString file;
    bool confirmAnswer = true;
    bool textAnswer = true;
    QString text;
    bool numberAnswer = true;
    int number = 1;
    QStringList asked;
    QList<CCommResult> shown;

    QString chooseFile(const QString& title) override
    {
        asked << QStringLiteral("file:") + title;
        return file;
    }
    bool confirm(const QString& title, const QString& t) override
    {
        asked << QStringLiteral("confirm:%1/%2").arg(title, t);
        return confirmAnswer;
    }
    bool askText(const QString& title, const QString& label, QString& out) override
    {
        asked << QStringLiteral("text:%1/%2/%3").arg(title, label, out); // out: the text it starts with
        if (textAnswer)
            out = text;
        return textAnswer;
    }
    bool askNumber(const QString& title, const QString& label, int& out, int iMin, int iMax) override
    {
        asked << QStringLiteral("number:%1/%2/%3/%4-%5").arg(title, label).arg(out).arg(iMin).arg(iMax);
        if (numberAnswer)
            out = number;
        return numberAnswer;
    }
    void showResult(const CCommResult& r) override { shown << r; }
};
