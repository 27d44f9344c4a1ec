#pragma once

// The console's window as the operation tests use it: its discovery queries go to a socket that
// never answers, so PCs are listed by hand (slNewPcInfoArrived with listedPc), and with the clock
// standing still a PC listed once stays online however long the operations take on a busy machine.

#include "centertoolmainwnd.h"
#include "consoletypes.h"

#include <QList>
#include <QString>
#include <QUdpSocket>

#include <memory>

class QuietConsole
{
public:
    explicit QuietConsole(bool clockStands = true);
    bool bound() const { return m_silent.state() == QAbstractSocket::BoundState; }
    CenterToolMainWnd& wnd() { return *m_pWnd; }

private:
    QUdpSocket m_silent;
    std::unique_ptr<CenterToolMainWnd> m_pWnd;
};

// A PC's discovery reply of an emulator product of type 2, from 127.0.0.1.
struPcInfoReply listedPc(const QString& pcName, const QString& nickName, int runLimit,
                         const QList<struSimuEntry>& simus);
