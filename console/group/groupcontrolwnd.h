#pragma once

#include "groupcontrolservice.h"
#include "groupmember.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class AgentRegistry;
class GroupScreen;
class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;

// The group control window ("群控"): the lead's live screen, and beside it the ticked emulators,
// each with its PC, name, state and whether it follows (or why not). A double click on a row, or the
// button under the list, makes that emulator the lead. What the user does on the screen goes to
// every running member. Closing the window ends the run on every agent; it asks first, and no key
// closes it.
class GroupControlWnd : public QWidget
{
    Q_OBJECT
public:
    // The question before closing: true to close.
    using ConfirmFn = std::function<bool(const QString& title, const QString& text)>;

    enum Column
    {
        ColPc = 0,
        ColName,
        ColState,
        ColFollow,
        ColCount
    };

    static constexpr int kRefreshMs = 1000; // the states column follows the device list

    GroupControlWnd(GroupControlService* pService, std::shared_ptr<const AgentRegistry> registry,
                    ConfirmFn confirm, QWidget* parent = nullptr);
    ~GroupControlWnd() override;

    static QString closeQuestion();

    GroupControlService* service() const { return m_pService; }
    GroupScreen* screen() const { return m_pScreen; }
    QTreeWidget* memberList() const { return m_pList; }
    QPushButton* leadButton() const { return m_pLeadBtn; }
    QString followText(int member) const;
    QString stateText(int member) const;
    // Closes without the question (the console is shutting down).
    void closeWithoutAsking();

signals:
    void sigGroupWndClosed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildList();
    void refreshStates();
    void applyStatuses(const GroupStatusList& changed);
    void showLead(int member);
    void takeFrame();
    void pickLead();
    QPushButton* keyButton(const QString& text, int androidKey);

    QPointer<GroupControlService> m_pService;
    std::shared_ptr<const AgentRegistry> m_pRegistry;
    ConfirmFn m_confirm;
    GroupScreen* m_pScreen = nullptr;
    QLabel* m_pLeadLabel = nullptr;
    QTreeWidget* m_pList = nullptr;
    QPushButton* m_pLeadBtn = nullptr;
    QTimer* m_pRefresh = nullptr;
    QList<GroupMemberStatus> m_status; // by member
    bool m_bNoQuestion = false;
    bool m_bClosed = false;
};
