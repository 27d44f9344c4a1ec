#include "devcontrolabsmgr.h"

#include <QEventLoop>
#include <QTcpSocket>

DevControlAbsMgr::DevControlAbsMgr(const DevOperData& data, QObject* parent) : QObject(parent), m_data(data)
{
}

DevControlAbsMgr::~DevControlAbsMgr()
{
    delete m_pSocket;
}

void DevControlAbsMgr::Start()
{
    Prepare();
    Execute();
}

CCommResult DevControlAbsMgr::Run()
{
    CCommResult out;
    QEventLoop loop;
    connect(this, &DevControlAbsMgr::sigFinished, &loop, [&](const CCommResult& r) {
        out = r;
        loop.quit();
    });
    Start();
    if (!m_bFinished)
        loop.exec(); // every step has a deadline: this ends
    return out;
}

void DevControlAbsMgr::Prepare()
{
    m_results.clear();
    for (int i = 0; i < m_data.memuIdxs.size(); ++i) {
        CCommResult slot;
        slot.iExtraRet = m_data.iOperType;
        m_results.append(slot);
    }
}

void DevControlAbsMgr::Finished(const CCommResult&) {}

void DevControlAbsMgr::Finish(const CCommResult& result)
{
    if (m_bFinished)
        return;
    m_bFinished = true;
    Finished(result);
    emit sigFinished(result);
}
