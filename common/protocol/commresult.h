#pragma once

#include "resultcodes.h"

#include <QString>

// The result of every operation of the system. Failures are values, not exceptions: callers test
// iRet and pass the record up; the user sees str, the logs get log.
struct CCommResult
{
    int iRet = 0;      // 0 success, otherwise a code listed by the module that raises it
    int iLastErr = 0;  // secondary error number
    int iExtraRet = 0; // extra integer result (a pid, a count, a record type, an integer setting)
    QString log;       // technical detail, for the logs
    QString str;       // user-facing text (Chinese), or a produced JSON text

    bool ok() const { return iRet == 0; }
    static CCommResult failure(int code, const QString& str, const QString& log = QString())
    {
        CCommResult r;
        r.iRet = code;
        r.str = str;
        r.log = log;
        return r;
    }
};
