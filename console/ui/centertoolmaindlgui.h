#pragma once

#include "agentregistry.h"

#include <QDialog>
#include <memory>

class MyGrpDrawer;
class MyScrollArea;
class QLabel;
class QLineEdit;
class QPushButton;
class VedioBoxGrpDrawer;

// A small picture dialog (the maker's public account).
class TipDlg : public QDialog
{
    Q_OBJECT
public:
    explicit TipDlg(const QString& title, QWidget* parent = nullptr);
};

// The console's main window widgets: top bar (welcome, links, version, refresh, logout), the device
// list on the left and the tiles on the right. It is a dialog, but no key closes it or clicks a
// button for Enter: Esc does nothing, and a button is pressed with the mouse or the space bar.
class CenterToolMainDlgUI : public QDialog
{
    Q_OBJECT
public:
    explicit CenterToolMainDlgUI(std::shared_ptr<AgentRegistry> registry, QWidget* parent = nullptr);

    static QString versionText(); // "Tovia-模拟器版v" and the console's four-part version

    MyGrpDrawer* leftGrpDrawer() const { return m_pLeftGrpDrawer; }
    VedioBoxGrpDrawer* rightGrpDrawer() const { return m_pRightGrpDrawer; }
    MyScrollArea* leftScrollArea() const { return m_pLeftScrollArea; }
    MyScrollArea* rightScrollArea() const { return m_pRightScrollArea; }
    QPushButton* welcomeBtn() const { return m_pBtnWelcome; }
    QPushButton* exitBtn() const { return m_pBtnExit; }
    QPushButton* refreshBtn() const { return m_pBtnRefresh; }
    QPushButton* officialBtn() const { return m_pBtnOfficial; }
    QPushButton* customBtn() const { return m_pBtnCustom; }
    QPushButton* publicBtn() const { return m_pBtnPublic; }
    QPushButton* helpBtn() const { return m_pBtnHelp; }
    QLabel* versionLabel() const { return m_pVersion; }
    // The filter box above the device list.
    QLineEdit* filterEdit() const { return m_pFilterEdit; }
    static QString filterPlaceholder() { return QStringLiteral("筛选：模拟器名、电脑或状态"); }
    // Shown while unsigned agents are accepted.
    QLabel* trustNotice() const { return m_pTrustNotice; }
    // "欢迎您" and the nick name of the signed-in user.
    void setWelcome(const QString& nickName);

protected:
    void keyPressEvent(QKeyEvent* event) override;

    std::shared_ptr<AgentRegistry> m_pRegistry;
    MyGrpDrawer* m_pLeftGrpDrawer = nullptr;
    VedioBoxGrpDrawer* m_pRightGrpDrawer = nullptr;
    MyScrollArea* m_pLeftScrollArea = nullptr;
    MyScrollArea* m_pRightScrollArea = nullptr;

private:
    QWidget* createTopBar();
    QWidget* createLeftPane();
    QPushButton* linkButton(const QString& text);

    QPushButton* m_pBtnWelcome = nullptr;
    QPushButton* m_pBtnExit = nullptr;
    QPushButton* m_pBtnRefresh = nullptr;
    QPushButton* m_pBtnOfficial = nullptr;
    QPushButton* m_pBtnCustom = nullptr;
    QPushButton* m_pBtnPublic = nullptr;
    QPushButton* m_pBtnHelp = nullptr;
    QLabel* m_pVersion = nullptr;
    QLineEdit* m_pFilterEdit = nullptr;
    QLabel* m_pTrustNotice = nullptr;
};
