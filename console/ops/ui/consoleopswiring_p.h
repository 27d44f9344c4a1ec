#pragma once

#include "clientnetoperobj.h"
#include "consoleopswiring.h"
#include "devgroupstore.h"
#include "groupoperchecks.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class MyDrawerEx;
class RemoteDesktopWnd;
class TaskResultRcver;
class VedioBoxDrawer;
struct struVedioBoxInfo;

// Owned by the main window; lives on the GUI thread.
class ConsoleOpsWiring : public QObject
{
    Q_OBJECT
public:
    ConsoleOpsWiring(CenterToolMainWnd& wnd, const ConsoleOpsOptions& options);

    TaskResultRcver* resultRcver() const { return m_pRcver; }
    ClientNetOperObj* client(const QString& pcName) const { return m_clients.value(pcName); }
    DevGroupStore* groupStore() const { return m_pGroups; }
    // The device list as the operations' checks see it.
    OpsDeviceSnapshot snapshot() const;
    // A tile's double click: the viewer of the tile's PC, opened or, when the drawer holds one
    // already, raised. Null when the PC has no command client.
    RemoteDesktopWnd* openRemoteDesktop(VedioBoxDrawer* pTiles, const struVedioBoxInfo& info);

protected:
    // The group menu on a PC's title row.
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void startResultRcver();
    void connectGroups();
    void syncGroups();
    void placeInGroup(const QString& pcName);
    void initPc(MyDrawerEx* pPc, VedioBoxDrawer* pTiles);
    void dispatch(int index);
    void send(const OpsPcSend& s);

    CenterToolMainWnd& m_wnd;
    ConsoleOpsOptions m_options;
    TaskResultRcver* m_pRcver = nullptr;
    DevGroupStore* m_pGroups = nullptr;
    QHash<QString, QPointer<ClientNetOperObj>> m_clients;
    QHash<QObject*, QPointer<MyDrawerEx>> m_titles; // title row -> its PC
};
