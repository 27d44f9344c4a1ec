#pragma once

#include "commresult.h"
#include "ports.h"
#include "simurecords.h"
#include "thumbnail.h"

#include <QtGlobal>

// Reports the outcome of one operation on one instance to the console that sent the command: a new
// TCP connection to the console's result server carrying a one-record command document and, after a
// successful start, the instance's thumbnail as a 100 x 150 JPEG. Also records the instance's new
// state in the settings file. Runs on the calling thread; returns how the delivery went.
CCommResult NotifierRun(const CCommResult& cRetParam, const struSimuOper& oper);

// Port and waits of the result delivery. Defaults: port 7779, 6 attempts of up to 6,000 ms each,
// 30,000 ms per write, 100 ms between the document and the thumbnail.
namespace NotifierConfig {
constexpr quint16 kResultPort = Tovia::kResultPort;
constexpr int kConnectAttempts = 6;
constexpr int kAttemptWaitMs = 6000;
constexpr int kWriteWaitMs = 30000;
constexpr int kThumbnailPauseMs = 100;
constexpr int kThumbnailWidth = Thumbnail::kWidth;
constexpr int kThumbnailHeight = Thumbnail::kHeight;

void setResultPort(quint16 port);
quint16 resultPort();
void setAttemptWaitMs(int ms);
int attemptWaitMs();
void setWriteWaitMs(int ms);
int writeWaitMs();
void setThumbnailPauseMs(int ms);
int thumbnailPauseMs();
// Restores every default.
void reset();
} // namespace NotifierConfig
