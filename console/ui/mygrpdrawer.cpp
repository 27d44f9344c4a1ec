#include "mygrpdrawer.h"

#include "drawercolumnlayout.h"
#include "jsoncodec.h"
#include "opercodes.h"
#include "resultdisplay.h"
#include "simurecords.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>

namespace {
constexpr int kRowHeight = 26;
constexpr int kStateWidth = 56;

// Names take what the row leaves them; however long, they never push the state column away.
void letShrink(QWidget* pWidget)
{
    pWidget->setSizePolicy(QSizePolicy::Ignored, pWidget->sizePolicy().verticalPolicy());
    pWidget->setMinimumWidth(0);
}

QString elided(const QWidget* pWidget, const QString& text, int width)
{
    return pWidget->fontMetrics().elidedText(text, Qt::ElideRight, qMax(0, width));
}

// Grey texts; ungreyed, the widget takes its parent's palette again.
void setGreyPalette(QWidget* pWidget, bool bGreyed)
{
    if (!bGreyed) {
        pWidget->setPalette(QPalette());
        return;
    }
    QPalette p = pWidget->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(role, QColor(0x9a, 0x9a, 0x9a));
    pWidget->setPalette(p);
}

} // namespace

MenuOfDrawerCell::MenuOfDrawerCell(QWidget* parent) : QMenu(parent)
{
    const QStringList texts = entryTexts();
    for (int i = 0; i < texts.size(); ++i)
        connect(addAction(texts.at(i)), &QAction::triggered, this,
                [this, i] { emit sigDrawerCellMenuTriggered(i); });
}

QStringList MenuOfDrawerCell::entryTexts()
{
    return OpsMenu::entryTexts();
}

namespace TickByState {

QString runningText()
{
    return QStringLiteral("勾选运行中");
}

QString stoppedText()
{
    return QStringLiteral("勾选未启动");
}

void insertEntries(QMenu* pMenu, QAction* pBefore, const std::function<void(int iState)>& tick)
{
    for (const auto& [text, state] : {std::make_pair(runningText(), int(eStateRunning)),
                                      std::make_pair(stoppedText(), int(eStateNotStarted))}) {
        auto* pAction = new QAction(text, pMenu);
        pMenu->insertAction(pBefore, pAction);
        QObject::connect(pAction, &QAction::triggered, pMenu, [tick, state = state] { tick(state); });
    }
}

} // namespace TickByState

MyDrawerCell::MyDrawerCell(const struSimuRow& row, QWidget* parent)
    : AbsDrawerCell(parent), m_memuIdx(row.memuIdx), m_simuName(row.simuName)
{
    setFixedHeight(kRowHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(40, 0, 8, 0);
    m_pCheck = new QCheckBox(row.simuName, this);
    letShrink(m_pCheck);
    m_pCheck->setToolTip(row.simuName);
    m_pState = new QLabel(this);
    // Fixed in both directions, so that a new state text never lays out the drawer again.
    m_pState->setFixedSize(kStateWidth, kRowHeight);
    m_pState->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(m_pCheck, 1);
    layout->addWidget(m_pState);
    connect(m_pCheck, &QCheckBox::toggled, this, [this](bool on) { emit sigCheckChanged(m_memuIdx, on); });
    setState(row.iState, row.iDaemonModel);
}

QString MyDrawerCell::stateText() const
{
    return m_pState->text();
}

bool MyDrawerCell::isChecked() const
{
    return m_pCheck->isChecked();
}

void MyDrawerCell::setSimuName(const QString& name)
{
    m_simuName = name;
    m_pCheck->setToolTip(name);
    const int box = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, m_pCheck) +
                    style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, m_pCheck);
    m_pCheck->setText(elided(m_pCheck, name, m_pCheck->width() - box - 4));
}

void MyDrawerCell::resizeEvent(QResizeEvent* event)
{
    AbsDrawerCell::resizeEvent(event);
    setSimuName(m_simuName);
}

// Every round of a large LAN passes every row here: a row whose text stays is left alone at once.
void MyDrawerCell::setState(int iState, int iDaemonModel)
{
    const bool bSameText =
        m_bStateShown && m_iState == iState && (m_iDaemonModel >= 1) == (iDaemonModel >= 1);
    m_iState = iState;
    m_iDaemonModel = iDaemonModel;
    if (bSameText)
        return;
    m_bStateShown = true;
    const QString text = simuStateLabel(iState, iDaemonModel >= 1);
    if (m_pState->text() != text)
        m_pState->setText(text);
}

void MyDrawerCell::setGreyed(bool bGreyed)
{
    if (m_bGreyed == bGreyed)
        return;
    m_bGreyed = bGreyed;
    setGreyPalette(this, bGreyed);
}

void MyDrawerCell::setChecked(bool bChecked)
{
    QSignalBlocker block(m_pCheck);
    m_pCheck->setChecked(bChecked);
}

void MyDrawerCell::contextMenuEvent(QContextMenuEvent* event)
{
    emit sigMenuRequested(event->globalPos());
}

DrawerTitleCell::DrawerTitleCell(const QString& name, bool bWithState, QWidget* parent)
    : AbsDrawerTitle(parent)
{
    setFixedHeight(30);
    setBackground(QColor(0xe9, 0xee, 0xf5));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(bWithState ? 18 : 6, 0, 8, 0); // a PC's row sits inside its group
    m_pArrow = new QLabel(QStringLiteral("▾"), this);
    m_pCheck = new QCheckBox(this);
    m_pName = new QLabel(this);
    letShrink(m_pName);
    setName(name);
    layout->addWidget(m_pArrow);
    layout->addWidget(m_pCheck);
    layout->addWidget(m_pName, 1);
    if (bWithState) {
        m_pDevState = new QLabel(this);
        m_pDevState->setFixedSize(kStateWidth, 30);
        m_pDevState->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        layout->addWidget(m_pDevState);
    }
}

void DrawerTitleCell::setName(const QString& name)
{
    m_name = name;
    m_pName->setToolTip(m_tip.isEmpty() ? name : m_tip);
    m_pName->setText(elided(m_pName, name, m_pName->width()));
}

void DrawerTitleCell::resizeEvent(QResizeEvent* event)
{
    AbsDrawerTitle::resizeEvent(event);
    setName(m_name);
}

void DrawerTitleCell::setDevState(const QString& text)
{
    if (!m_pDevState)
        return;
    m_pDevState->setText(text);
    QPalette p = m_pDevState->palette();
    p.setColor(QPalette::WindowText, text == PcLabel::online()    ? QColor(0x1a, 0x8f, 0x3c)
                                     : text == PcLabel::offline() ? QColor(0xc9, 0x30, 0x2c)
                                                                  : QColor(0x99, 0x99, 0x99));
    m_pDevState->setPalette(p);
}

void DrawerTitleCell::setRowToolTip(const QString& tip)
{
    m_tip = tip;
    setToolTip(tip);
    m_pName->setToolTip(tip.isEmpty() ? m_name : tip);
    if (m_pDevState)
        m_pDevState->setToolTip(tip);
}

void DrawerTitleCell::setGreyed(bool bGreyed)
{
    setGreyPalette(m_pName, bGreyed);
}

QString DrawerTitleCell::devState() const
{
    return m_pDevState ? m_pDevState->text() : QString();
}

void DrawerTitleCell::contextMenuEvent(QContextMenuEvent* event)
{
    emit sigContextMenuRequested(event->globalPos());
}

void DrawerTitleCell::setOpened(bool bOpened)
{
    AbsDrawerTitle::setOpened(bOpened);
    m_pArrow->setText(bOpened ? QStringLiteral("▾") : QStringLiteral("▸"));
}

MyDrawerUI::MyDrawerUI(const QString& name, bool bWithState, QWidget* parent) : AbsDrawer(parent)
{
    m_pTitleCell = new DrawerTitleCell(name, bWithState, this);
    setTitle(m_pTitleCell);
    new DrawerColumnLayout(body());
}

QMenu* MyDrawerUI::createTitleMenu(QWidget* pParent)
{
    if (grpName() == CustomGroupTitle())
        return nullptr;
    auto* pMenu = new QMenu(pParent);
    connect(pMenu->addAction(DeleteGroupText()), &QAction::triggered, this,
            [this] { emit sigDeleteMyselfGrp(grpName()); });
    return pMenu;
}

void MyDrawerUI::addChild(QWidget* pChild)
{
    body()->layout()->addWidget(pChild);
}

void MyDrawerUI::removeChild(QWidget* pChild)
{
    body()->layout()->removeWidget(pChild);
}

MyDrawerEx::MyDrawerEx(std::shared_ptr<AgentRegistry> registry, const QString& pcName,
                       const QString& nickName, const QString& ipAddr, QWidget* parent)
    : MyDrawerUI(nickName, true, parent), m_pRegistry(std::move(registry)), m_pcName(pcName), m_ipAddr(ipAddr)
{
    refreshToolTip();
    connect(titleCell()->checkBox(), &QCheckBox::toggled, this, &MyDrawerEx::slTitleChecked);
}

QString MyDrawerEx::connectAddress() const
{
    struPcEntry pc;
    return m_pRegistry->entry(m_pcName, pc) ? pc.connectAddress() : m_ipAddr;
}

QString MyDrawerEx::argument() const
{
    return m_pRegistry->argument(m_pcName);
}

void MyDrawerEx::setArgument(const QString& argument)
{
    m_pRegistry->setArgument(m_pcName, argument);
    emit sigOperArgumentChanged(argument);
}

QList<MyDrawerCell*> MyDrawerEx::cells() const
{
    QList<MyDrawerCell*> out;
    for (int i = 0; i < body()->layout()->count(); ++i) {
        if (auto* c = qobject_cast<MyDrawerCell*>(body()->layout()->itemAt(i)->widget()))
            out.append(c);
    }
    return out;
}

MyDrawerCell* MyDrawerEx::addCell(const struSimuRow& row)
{
    auto* c = new MyDrawerCell(row, body());
    c->setGreyed(m_bOffline);
    m_cells.insert(row.memuIdx, c);
    addChild(c);
    if (!connect(c, &MyDrawerCell::sigDrawerCellMenuTriggered, this, &MyDrawerEx::sigDrawerCellMenuTriggered))
        qWarning(
            "connect MyDrawerCell::sigDrawerCellMenuTriggered MyDrawerEx::sigDrawerCellMenuTriggered err");
    if (!connect(c, &MyDrawerCell::sigMenuRequested, this, &MyDrawerEx::sigCellMenuRequested))
        qWarning("connect MyDrawerCell::sigMenuRequested MyDrawerEx::sigCellMenuRequested err");
    connect(c, &MyDrawerCell::sigCheckChanged, this, [this](const QString& idx, bool on) {
        m_pRegistry->setChecked(m_pcName, idx, on);
        emit sigCellCheckChanged(m_pcName, idx, on);
    });
    return c;
}

void MyDrawerEx::removeCell(const QString& memuIdx)
{
    MyDrawerCell* c = m_cells.take(memuIdx);
    if (!c)
        return;
    removeChild(c);
    c->deleteLater();
}

void MyDrawerEx::setNickName(const QString& nick)
{
    if (titleCell()->name() != nick) {
        titleCell()->setName(nick);
        refreshToolTip();
    }
}

void MyDrawerEx::setOnlineLabel(const QString& label)
{
    titleCell()->setDevState(label);
}

void MyDrawerEx::setIpAddr(const QString& ipAddr)
{
    m_ipAddr = ipAddr;
    refreshToolTip();
}

void MyDrawerEx::showPresence(const struPcEntry& pc)
{
    setOnlineLabel(pc.onlineLabel);
    const bool bOffline = pc.isOffline();
    if (bOffline == m_bOffline && (!bOffline || pc.lastHeard == m_lastHeard))
        return;
    m_bOffline = bOffline;
    m_lastHeard = pc.lastHeard;
    titleCell()->setGreyed(bOffline);
    for (MyDrawerCell* c : qAsConst(m_cells))
        c->setGreyed(bOffline);
    refreshToolTip();
}

void MyDrawerEx::refreshToolTip()
{
    QString tip = QStringLiteral("%1\n%2 (%3)").arg(titleCell()->name(), m_pcName, m_ipAddr);
    if (m_bOffline)
        tip += m_lastHeard > 0 ? QStringLiteral("\n离线，最后一次收到回复：%1")
                                     .arg(QDateTime::fromSecsSinceEpoch(m_lastHeard)
                                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                               : QStringLiteral("\n离线，从未收到回复");
    titleCell()->setRowToolTip(tip);
}

void MyDrawerEx::checkByState(int iState)
{
    for (MyDrawerCell* c : qAsConst(m_cells))
        c->checkBox()->setChecked(!c->isHidden() && c->state() == iState);
}

void MyDrawerEx::refreshCell(const QString& memuIdx)
{
    MyDrawerCell* c = m_cells.value(memuIdx);
    struSimuRow r;
    if (c && m_pRegistry->row(m_pcName, memuIdx, r))
        c->setState(r.iState, r.iDaemonModel);
}

void MyDrawerEx::refreshAllCells()
{
    struPcEntry pc;
    if (!m_pRegistry->entry(m_pcName, pc))
        return;
    for (const struSimuRow& r : pc.rows) {
        if (MyDrawerCell* c = m_cells.value(r.memuIdx))
            c->setState(r.iState, r.iDaemonModel);
    }
}

// Rows the filter hides are not ticked (what is ticked is what is seen).
void MyDrawerEx::slTitleChecked(bool bChecked)
{
    for (MyDrawerCell* c : qAsConst(m_cells)) {
        if (!bChecked || !c->isHidden())
            c->checkBox()->setChecked(bChecked);
    }
}

void MyDrawerEx::setAllChecked(bool bChecked)
{
    {
        QSignalBlocker block(titleCell()->checkBox());
        titleCell()->checkBox()->setChecked(bChecked);
    }
    slTitleChecked(bChecked);
}

void MyDrawerEx::slReplyResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    if (!pRet->ok())
        showResult(*pRet);
    delete pRet;
}

// A state message from this PC's command client: applied by the newer-time rule.
void MyDrawerEx::slChangeStateWithParam(QByteArray aryJson)
{
    QString pcName, memuIdx;
    int iState = 0, iTime = 0, iDaemonModel = 0;
    if (!JsonCodec::parseSimuState(aryJson, pcName, memuIdx, iState, iTime, iDaemonModel).ok() ||
        pcName != m_pcName)
        return;
    m_pRegistry->applyState(pcName, memuIdx, iState, iTime);
    refreshCell(memuIdx);
}

void MyDrawerEx::slChangeStateByIndex(QString strMemuIdx, int iState)
{
    m_pRegistry->applyState(m_pcName, strMemuIdx, iState, -1);
    refreshCell(strMemuIdx);
}

MyGrpDrawer::MyGrpDrawer(std::shared_ptr<AgentRegistry> registry, QWidget* parent)
    : AbsGrpDrawer(parent), m_pRegistry(std::move(registry))
{
    m_pDefaultGroup = addGroup(QString(), DefaultGroupName());
}

void MyGrpDrawer::showPlaceholder()
{
    if (m_pPlaceholder || !m_pcs.isEmpty())
        return;
    m_pPlaceholder = new MyDrawerUI(QStringLiteral("无设备"), true, m_pDefaultGroup->body());
    m_pPlaceholder->titleCell()->setDevState(QStringLiteral("0.0.0.0"));
    m_pPlaceholder->titleCell()->checkBox()->setEnabled(false);
    m_pDefaultGroup->addChild(m_pPlaceholder);
}

void MyGrpDrawer::addPc(MyDrawerEx* pPc)
{
    if (m_pPlaceholder) {
        m_pDefaultGroup->removeChild(m_pPlaceholder);
        m_pPlaceholder->deleteLater();
        m_pPlaceholder = nullptr;
    }
    m_pcs.insert(pPc->pcName(), pPc);
    m_order.append(pPc);
    movePcDrawer(pPc, m_pDefaultGroup);
    if (!connect(pPc, &AbsDrawer::sigSizeChanged, this, &AbsGrpDrawer::slChildDrawerSizeChanged))
        qWarning("connect MyDrawerEx::sigSizeChanged MyGrpDrawer::slChildDrawerSizeChanged err");
    if (!connect(pPc, &MyDrawerEx::sigCellMenuRequested, this, &MyGrpDrawer::slPopupCellMenu))
        qWarning("connect MyDrawerEx::sigCellMenuRequested MyGrpDrawer::slPopupCellMenu err");
}

void MyGrpDrawer::slPopupCellMenu(QPoint globalPos)
{
    auto* pMenu = new MenuOfDrawerCell(this);
    pMenu->setAttribute(Qt::WA_DeleteOnClose);
    if (!connect(pMenu, &MenuOfDrawerCell::sigDrawerCellMenuTriggered, this, &MyGrpDrawer::slMenuTriggered,
                 Qt::QueuedConnection))
        qWarning("connect MenuOfDrawerCell::sigDrawerCellMenuTriggered MyGrpDrawer::slMenuTriggered err");
    pMenu->popup(globalPos);
}

void MyGrpDrawer::slMenuTriggered(int index)
{
    emit sigDrawerCellMenuTriggered(index);
}

void MyGrpDrawer::slCellMoveToNewGrp(MyDrawerCell* pCell, MyDrawerUI* pDrawerTo)
{
    for (MyDrawerEx* pc : qAsConst(m_order)) {
        if (pCell && pDrawerTo && pc->cell(pCell->memuIdx()) == pCell)
            return slMoveDevsToGrp({pc->pcName()}, pDrawerTo->grpName());
    }
}

void MyGrpDrawer::slDevNetStateChanged(QString strIP, int iState)
{
    for (MyDrawerEx* pc : qAsConst(m_order)) {
        if (m_pRegistry->connectAddress(pc->pcName()) != strIP)
            continue;
        if (iState == 0)
            m_pRegistry->setOffline(pc->pcName()); // its next reply brings it back
        struPcEntry entry;
        if (m_pRegistry->entry(pc->pcName(), entry))
            pc->showPresence(entry);
        pc->refreshAllCells();
    }
}

void MyGrpDrawer::clearAllChecks()
{
    m_pRegistry->clearChecks();
    for (MyDrawerUI* g : qAsConst(m_groups)) {
        QSignalBlocker block(g->titleCell()->checkBox());
        g->titleCell()->checkBox()->setChecked(false);
    }
    for (MyDrawerEx* pc : qAsConst(m_order)) {
        QSignalBlocker block(pc->titleCell()->checkBox());
        pc->titleCell()->checkBox()->setChecked(false);
        for (MyDrawerCell* c : pc->cells())
            c->setChecked(false);
    }
}

MyDrawerUI* MyGrpDrawer::findGroup(const QString& name) const
{
    for (MyDrawerUI* g : m_groups) {
        if (g->grpName() == name)
            return g;
    }
    return nullptr;
}

MyDrawerUI* MyGrpDrawer::addGroup(const QString& id, const QString& name)
{
    if (MyDrawerUI* pKnown = findGroup(name)) {
        pKnown->setGrpId(id);
        return pKnown;
    }
    auto* pGroup = new MyDrawerUI(name, false, this);
    pGroup->setGrpId(id);
    m_groups.append(pGroup);
    AddNewDrawer(pGroup);
    // Ticking a group ticks every emulator of its PCs, also those unticked by hand since.
    if (!connect(pGroup->titleCell()->checkBox(), &QCheckBox::toggled, this, [this, pGroup](bool on) {
            for (const QString& pc : pcsOf(pGroup))
                m_pcs.value(pc)->setAllChecked(on);
        }))
        qWarning("connect QCheckBox::toggled MyDrawerEx::setAllChecked err");
    if (!connect(pGroup->titleCell(), &DrawerTitleCell::sigContextMenuRequested, this,
                 [this, pGroup](QPoint at) { showTitleMenu(pGroup, at); }))
        qWarning("connect DrawerTitleCell::sigContextMenuRequested MyGrpDrawer::showTitleMenu err");
    if (!connect(pGroup, &MyDrawerUI::sigDeleteMyselfGrp, this, &MyGrpDrawer::slDeleteGrp))
        qWarning("connect SIGNAL(sigDeleteMyselfGrp(QString)) SLOT(slDeleteGrp(QString)) err");
    return pGroup;
}

MyDrawerUI* MyGrpDrawer::groupOfPc(const QString& pcName) const
{
    return m_groupOfPc.value(pcName);
}

QStringList MyGrpDrawer::pcsOf(const MyDrawerUI* pGroup) const
{
    QStringList out;
    for (MyDrawerEx* pc : m_order) {
        if (m_groupOfPc.value(pc->pcName()) == pGroup)
            out.append(pc->pcName());
    }
    return out;
}

void MyGrpDrawer::placePc(const QString& pcName, const QString& grpName)
{
    MyDrawerEx* pPc = findPc(pcName);
    MyDrawerUI* pGroup = findGroup(grpName);
    if (pPc && pGroup)
        movePcDrawer(pPc, pGroup);
}

void MyGrpDrawer::movePcDrawer(MyDrawerEx* pPc, MyDrawerUI* pTo)
{
    if (MyDrawerUI* pFrom = m_groupOfPc.value(pPc->pcName())) {
        if (pFrom == pTo)
            return;
        pFrom->removeChild(pPc);
    }
    // A PC the filter hides stays hidden in its new group.
    const bool bHidden = pPc->testAttribute(Qt::WA_WState_ExplicitShowHide) && pPc->isHidden();
    pPc->setParent(pTo->body());
    pTo->addChild(pPc);
    pPc->setVisible(!bHidden);
    m_groupOfPc.insert(pPc->pcName(), pTo);
}

// Open without a loop of its own, owned by the list: the group may go while it is open.
void MyGrpDrawer::showTitleMenu(MyDrawerUI* pGroup, const QPoint& globalPos)
{
    QMenu* pMenu = pGroup->createTitleMenu(this);
    if (!pMenu)
        pMenu = new QMenu(this);
    QAction* pFirst = pMenu->actions().value(0);
    QPointer<MyDrawerUI> pKept(pGroup);
    TickByState::insertEntries(pMenu, pFirst, [this, pKept](int iState) {
        if (pKept)
            checkGroupByState(pKept, iState);
    });
    if (pFirst)
        pMenu->insertSeparator(pFirst);
    pMenu->setAttribute(Qt::WA_DeleteOnClose);
    pMenu->popup(globalPos);
}

void MyGrpDrawer::checkGroupByState(const MyDrawerUI* pGroup, int iState)
{
    for (const QString& pc : pcsOf(pGroup))
        m_pcs.value(pc)->checkByState(iState);
}

void MyGrpDrawer::slMoveDevsToGrp(QStringList pcNames, QString strGrpTo)
{
    MyDrawerUI* pTo = findGroup(strGrpTo);
    if (!pTo) {
        showResult(
            CCommResult::failure(OpsCode::GroupUnknown, QStringLiteral("分组\"%1\"不存在").arg(strGrpTo)));
        return;
    }
    // One request per group the PCs come from.
    QHash<MyDrawerUI*, QStringList> bySource;
    QList<MyDrawerUI*> sources;
    for (const QString& pc : pcNames) {
        MyDrawerUI* pFrom = m_groupOfPc.value(pc);
        if (!pFrom || pFrom == pTo)
            continue;
        if (!bySource.contains(pFrom))
            sources.append(pFrom);
        bySource[pFrom].append(pc);
    }
    if (sources.isEmpty()) {
        showResult(CCommResult::failure(OpsCode::SameGroup, QStringLiteral("目标组与源组相同")));
        return;
    }
    for (MyDrawerUI* pFrom : sources)
        requestMove(bySource.value(pFrom), pFrom, pTo);
}

// The lists are the groups' members after the move.
void MyGrpDrawer::requestMove(const QStringList& pcs, MyDrawerUI* pFrom, MyDrawerUI* pTo)
{
    QStringList oldDevs = pcsOf(pFrom), newDevs = pcsOf(pTo);
    for (const QString& pc : pcs)
        oldDevs.removeAll(pc);
    newDevs.append(pcs);
    qDebug().noquote() << "strChangeDevCodeId:" << pcs.join(',') << "vstrOldDevId:" << oldDevs.join(',')
                       << "strOldGrpName:" << pFrom->grpName() << "strOldGrpId:" << pFrom->grpId()
                       << "vstrNewDevId:" << newDevs.join(',') << "strNewGrpName:" << pTo->grpName()
                       << "strNewGrpId:" << pTo->grpId();
    m_pendingMoves.append(PendingEdit{pcs, pFrom->grpName(), pTo->grpName()});
    emit sigMoveDev2NewGrp(oldDevs.toVector(), pFrom->grpName(), pFrom->grpId(), newDevs.toVector(),
                           pTo->grpName(), pTo->grpId());
}

// The oldest request of the list is the one confirmed; a refusal is shown and changes nothing.
bool MyGrpDrawer::takeConfirmed(QList<PendingEdit>& pending, const CCommResult& cRet, PendingEdit& edit)
{
    if (pending.isEmpty()) {
        qWarning().noquote() << "group edit confirmed, but none was asked for:" << cRet.iRet << cRet.str;
        return false;
    }
    edit = pending.takeFirst();
    if (!cRet.ok())
        showResult(cRet);
    return cRet.ok();
}

void MyGrpDrawer::slMoveDev2NewGrpFinished(CCommResult cRet)
{
    PendingEdit move;
    if (!takeConfirmed(m_pendingMoves, cRet, move))
        return;
    MyDrawerUI* pTo = findGroup(move.to);
    if (!pTo)
        return;
    for (const QString& pc : move.pcs) {
        if (MyDrawerEx* pPc = findPc(pc))
            movePcDrawer(pPc, pTo);
    }
    slChildDrawerSizeChanged(size(), size());
    qInfo().noquote() << "PCs" << move.pcs.join(',') << "moved from group" << move.from << "to" << move.to;
    emit sigDevMovedToNewGrp(move.pcs.toVector(), move.from, move.to);
}

void MyGrpDrawer::slDeleteGrp(QString strGrpName)
{
    MyDrawerUI* pGroup = findGroup(strGrpName);
    if (!pGroup)
        return;
    const QStringList moved = pcsOf(pGroup);
    const QStringList defaults = pcsOf(m_pDefaultGroup) + moved;
    qDebug().noquote() << "delete group" << strGrpName << "its PCs to" << DefaultGroupName() << ":"
                       << moved.join(',');
    m_pendingDeletes.append(PendingEdit{moved, strGrpName, DefaultGroupName()});
    emit sigMoveDev2NewGrpNDeleteOldGrp(moved.toVector(), strGrpName, pGroup->grpId(), defaults.toVector(),
                                        DefaultGroupName(), m_pDefaultGroup->grpId());
}

// The group's PCs go to the default group before its drawer goes.
void MyGrpDrawer::slDeleteGrpFinished(CCommResult cRet)
{
    PendingEdit edit;
    if (!takeConfirmed(m_pendingDeletes, cRet, edit))
        return;
    MyDrawerUI* pGroup = findGroup(edit.from);
    if (!pGroup || pGroup == m_pDefaultGroup)
        return;
    for (const QString& pc : pcsOf(pGroup))
        movePcDrawer(findPc(pc), m_pDefaultGroup);
    RemoveDrawer(pGroup);
    m_groups.removeAll(pGroup);
    qInfo().noquote() << "group" << edit.from << "deleted, its PCs in" << DefaultGroupName();
    emit sigGrpDeleted(edit.from, DefaultGroupName());
    pGroup->deleteLater();
}
