#include "devcontrolabsmgr.h"

#include <QTcpSocket>

DevControlAbsMgr::DevControlAbsMgr(const DevOperData& data, QObject* parent) : QObject(parent), m_data(data)
{
}

DevControlAbsMgr::~DevControlAbsMgr()
{
    delete m_pSocket;
}

CCommResult DevControlAbsMgr::Run()
{
    Prepare();
    return Execute();
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
