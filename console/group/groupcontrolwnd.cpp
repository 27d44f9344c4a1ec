#include "groupcontrolwnd.h"

#include "agentregistry.h"
#include "groupcontrolservice.h"
#include "groupinput.h"
#include "groupscreen.h"
#include "latestframe.h"
#include "simurecords.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

GroupControlWnd::GroupControlWnd(GroupControlService* pService, std::shared_ptr<const AgentRegistry> registry,
                                 ConfirmFn confirm, QWidget* parent)
    : QWidget(parent, Qt::Window), m_pService(pService), m_pRegistry(std::move(registry)),
      m_confirm(std::move(confirm))
{
    setAttribute(Qt::WA_DeleteOnClose);
    // The main window is a dialog run modally: a window that is modal itself (to no parent, so it
    // blocks nothing) takes input beside it, as the remote-desktop viewer does.
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("群控"));
    m_pScreen = new GroupScreen(this);
    m_pLeadLabel = new QLabel(this);
    auto* left = new QVBoxLayout;
    left->addWidget(m_pLeadLabel);
    left->addWidget(m_pScreen, 1);
    auto* keys = new QHBoxLayout;
    keys->addWidget(keyButton(QStringLiteral("返回"), GroupInput::kKeyBack));
    keys->addWidget(keyButton(QStringLiteral("主页"), GroupInput::kKeyHome));
    keys->addWidget(keyButton(QStringLiteral("多任务"), GroupInput::kKeyAppSwitch));
    left->addLayout(keys);

    m_pList = new QTreeWidget(this);
    m_pList->setColumnCount(ColCount);
    m_pList->setHeaderLabels(
        {QStringLiteral("电脑"), QStringLiteral("模拟器"), QStringLiteral("状态"), QStringLiteral("跟随")});
    m_pList->setRootIsDecorated(false);
    m_pList->setUniformRowHeights(true);
    m_pList->header()->setStretchLastSection(true);
    m_pLeadBtn = new QPushButton(QStringLiteral("设为主控"), this);
    m_pLeadBtn->setAutoDefault(false);
    m_pLeadBtn->setFocusPolicy(Qt::NoFocus);
    auto* right = new QVBoxLayout;
    right->addWidget(m_pList, 1);
    right->addWidget(m_pLeadBtn);

    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 3);
    layout->addLayout(right, 2);
    resize(1000, 700);

    buildList();
    connect(m_pLeadBtn, &QPushButton::clicked, this, &GroupControlWnd::pickLead);
    connect(m_pList, &QTreeWidget::itemDoubleClicked, this, &GroupControlWnd::pickLead);
    connect(m_pScreen, &GroupScreen::sigInput, this, [this](const GroupInputEvent& e) {
        if (m_pService)
            m_pService->send(e);
    });
    connect(pService, &GroupControlService::sigStatuses, this, &GroupControlWnd::applyStatuses);
    connect(pService, &GroupControlService::sigFrameReady, this, &GroupControlWnd::takeFrame);
    connect(pService, &GroupControlService::sigViewMessage, m_pScreen, &GroupScreen::setMessage);
    connect(pService, &GroupControlService::sigLeadChanged, this, &GroupControlWnd::showLead);
    m_pRefresh = new QTimer(this);
    m_pRefresh->setInterval(kRefreshMs);
    connect(m_pRefresh, &QTimer::timeout, this, &GroupControlWnd::refreshStates);
    m_pRefresh->start();
    showLead(pService->lead());
    m_pScreen->setFocus();
}

GroupControlWnd::~GroupControlWnd() = default;

QString GroupControlWnd::closeQuestion()
{
    return QStringLiteral("关闭窗口将结束全部模拟器的群控，确定关闭吗？");
}

QPushButton* GroupControlWnd::keyButton(const QString& text, int androidKey)
{
    auto* b = new QPushButton(text, this);
    b->setAutoDefault(false);
    b->setFocusPolicy(Qt::NoFocus); // the keys stay with the screen
    connect(b, &QPushButton::clicked, this, [this, androidKey] {
        m_pScreen->flushText();
        if (m_pService)
            m_pService->send(GroupInputEvent::key(androidKey));
    });
    return b;
}

void GroupControlWnd::buildList()
{
    for (const GroupMember& m : m_pService->members()) {
        auto* item = new QTreeWidgetItem(m_pList);
        item->setText(ColPc, m.nickName);
        item->setText(ColName, m.simuName);
        item->setToolTip(ColName, m.simuName);
        GroupMemberStatus s;
        s.pcKey = m.pcKey;
        s.memuIdx = m.memuIdx;
        m_status.append(s);
        item->setText(ColFollow, groupFollowText(s));
    }
    refreshStates();
}

void GroupControlWnd::refreshStates()
{
    const QList<GroupMember>& members = m_pService ? m_pService->members() : QList<GroupMember>();
    QString pc;
    struPcEntry entry;
    bool listed = false;
    for (int i = 0; i < members.size() && i < m_pList->topLevelItemCount(); ++i) {
        const GroupMember& m = members.at(i);
        if (m.pcKey != pc || i == 0) {
            pc = m.pcKey;
            listed = m_pRegistry->entry(pc, entry);
        }
        const struSimuRow* row = listed ? entry.row(m.memuIdx) : nullptr;
        QString text = !listed || entry.isOffline() ? PcLabel::offline()
                       : row                        ? simuStateLabel(row->iState)
                                                    : QStringLiteral("已删除");
        m_pList->topLevelItem(i)->setText(ColState, text);
    }
}

void GroupControlWnd::applyStatuses(const GroupStatusList& changed)
{
    for (const GroupMemberStatus& s : changed) {
        for (int i = 0; i < m_status.size(); ++i) {
            if (m_status.at(i).pcKey != s.pcKey || m_status.at(i).memuIdx != s.memuIdx)
                continue;
            m_status[i] = s;
            m_pList->topLevelItem(i)->setText(ColFollow, groupFollowText(s));
            m_pList->topLevelItem(i)->setToolTip(ColFollow, groupFollowText(s));
        }
    }
}

void GroupControlWnd::showLead(int member)
{
    for (int i = 0; i < m_pList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_pList->topLevelItem(i);
        for (int c = 0; c < ColCount; ++c) {
            QFont f = item->font(c);
            f.setBold(i == member);
            item->setFont(c, f);
        }
    }
    const GroupMember m = m_pService->members().value(member);
    m_pLeadLabel->setText(QStringLiteral("主控：%1 - %2").arg(m.nickName, m.simuName));
    m_pScreen->setPicture(QImage());
}

void GroupControlWnd::takeFrame()
{
    if (!m_pService)
        return;
    const QImage picture = m_pService->frames()->take();
    if (!picture.isNull())
        m_pScreen->setPicture(picture);
}

void GroupControlWnd::pickLead()
{
    QTreeWidgetItem* item = m_pList->currentItem();
    if (item && m_pService)
        m_pService->setLead(m_pList->indexOfTopLevelItem(item));
}

QString GroupControlWnd::followText(int member) const
{
    QTreeWidgetItem* item = m_pList->topLevelItem(member);
    return item ? item->text(ColFollow) : QString();
}

QString GroupControlWnd::stateText(int member) const
{
    QTreeWidgetItem* item = m_pList->topLevelItem(member);
    return item ? item->text(ColState) : QString();
}

void GroupControlWnd::closeWithoutAsking()
{
    m_bNoQuestion = true;
    close();
}

void GroupControlWnd::closeEvent(QCloseEvent* event)
{
    if (m_bClosed)
        return event->accept();
    if (!m_bNoQuestion && m_confirm && !m_confirm(QStringLiteral("群控"), closeQuestion())) {
        event->ignore();
        return;
    }
    m_bClosed = true;
    m_pScreen->flushText();
    m_pRefresh->stop();
    if (m_pService)
        m_pService->end();
    event->accept();
    emit sigGroupWndClosed();
}
