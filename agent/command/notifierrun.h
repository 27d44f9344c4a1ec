#pragma once

#include "commresult.h"
#include "ports.h"
#include "simurecords.h"

#include <QtGlobal>

// Port and waits of the result delivery; tests use a result server on a free port and short waits.
struct struNotifierOptions
{
    static constexpr int kConnectAttempts = 6;

    quint16 resultPort = Tovia::kResultPort;
    // Each of the connect attempts takes up to this long.
    int attemptWaitMs = 6000;
    // Per write, and for the close.
    int writeWaitMs = 30000;
    // Between the document and the thumbnail.
    int thumbnailPauseMs = 100;
};

// Reports the outcome of one operation on one instance to the console that sent the command: a new
// TCP connection to the console's result server carrying a one-record command document and, after a
// successful start, the instance's thumbnail as a 100 x 150 JPEG. Also records the instance's new
// state in the settings file. Runs on the calling thread; returns how the delivery went.
CCommResult NotifierRun(const CCommResult& cRetParam, const struSimuOper& oper,
                        const struNotifierOptions& options);

// The stored-state half of NotifierRun: the instance's state as its report leaves.
void StoreReportedState(const CCommResult& cRetParam, const struSimuOper& oper);

// The report alone, without touching the stored state: for a command that was refused or dropped
// before anything ran, and for the report of an operation whose state is already stored.
CCommResult ReportToConsole(const CCommResult& cRetParam, const struSimuOper& oper,
                            const struNotifierOptions& options);
