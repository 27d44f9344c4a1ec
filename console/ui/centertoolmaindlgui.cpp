#include "centertoolmaindlgui.h"

#include "farmtrust.h"
#include "mygrpdrawer.h"
#include "updatecheck.h"
#include "vedioboxdrawer.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

TipDlg::TipDlg(const QString& title, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(title);
    setFixedSize(300, 300);
    setStyleSheet(QStringLiteral("TipDlg{background:url(:/res/tipDlg/public.jpg) center no-repeat;}"));
}

CenterToolMainDlgUI::CenterToolMainDlgUI(std::shared_ptr<AgentRegistry> registry, QWidget* parent)
    : QDialog(parent), m_pRegistry(std::move(registry))
{
    setWindowTitle(QStringLiteral("Tovia-模拟器版"));
    setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    resize(1180, 760);

    m_pLeftGrpDrawer = new MyGrpDrawer(m_pRegistry);
    m_pLeftScrollArea = new MyScrollArea;
    m_pLeftScrollArea->setWidget(m_pLeftGrpDrawer);
    m_pLeftScrollArea->setMinimumWidth(260);

    m_pRightGrpDrawer = new VedioBoxGrpDrawer;
    m_pRightScrollArea = new MyScrollArea;
    m_pRightScrollArea->setWidget(m_pRightGrpDrawer);
    // A palette rather than a style sheet: a style sheet here would style every tile inside.
    QPalette wall = m_pRightScrollArea->viewport()->palette();
    wall.setColor(QPalette::Window, QColor(0xf5, 0xf7, 0xfa));
    m_pRightScrollArea->viewport()->setPalette(wall);
    m_pRightScrollArea->viewport()->setAutoFillBackground(true);

    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(createLeftPane());
    splitter->addWidget(m_pRightScrollArea);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({280, 900});

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(createTopBar());
    layout->addWidget(splitter, 1);
    // In a dialog a button takes Enter when it has the focus (and the first one even without):
    // Enter would open a link or log out.
    for (QPushButton* b : findChildren<QPushButton*>()) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
}

QString CenterToolMainDlgUI::versionText()
{
    return QStringLiteral("Tovia-模拟器版v%1")
        .arg(UpdateCheck::readRcVersion(QStringLiteral(":/CenterVersion.rc")));
}

// Esc would reject the dialog and so end the console; Enter has no meaning in this window.
void CenterToolMainDlgUI::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Enter:
    case Qt::Key_Return:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

QPushButton* CenterToolMainDlgUI::linkButton(const QString& text)
{
    auto* btn = new QPushButton(text);
    btn->setFlat(true);
    btn->setCursor(Qt::PointingHandCursor);
    btn->setStyleSheet(QStringLiteral("QPushButton{color:white;border:none;padding:4px 10px;}"
                                      "QPushButton:hover{color:#cfe8ff;}"));
    return btn;
}

// The filter box over the device list.
QWidget* CenterToolMainDlgUI::createLeftPane()
{
    auto* pane = new QWidget;
    m_pFilterEdit = new QLineEdit;
    m_pFilterEdit->setPlaceholderText(filterPlaceholder());
    m_pFilterEdit->setClearButtonEnabled(true);
    m_pFilterEdit->setToolTip(
        QStringLiteral("空格分开的每个词都要出现在模拟器名、状态、电脑名、备注名或地址中"));
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(4, 4, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(m_pFilterEdit);
    layout->addWidget(m_pLeftScrollArea, 1);
    return pane;
}

QWidget* CenterToolMainDlgUI::createTopBar()
{
    auto* bar = new QWidget;
    bar->setObjectName(QStringLiteral("topBar"));
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setStyleSheet(QStringLiteral("#topBar{background:qlineargradient(x1:0,y1:0,x2:1,y2:0,"
                                      "stop:0 #0997f7,stop:1 #3f48cc);}"));
    bar->setFixedHeight(52);
    auto* logo = new QLabel;
    logo->setPixmap(QPixmap(QStringLiteral(":/res/logo.png"))
                        .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    auto* title = new QLabel(QStringLiteral("Tovia 模拟器总控端"));
    title->setStyleSheet(QStringLiteral("color:white;font-size:16px;font-weight:bold;"));
    m_pVersion = new QLabel(versionText());
    m_pVersion->setStyleSheet(QStringLiteral("color:#dbeeff;font-size:11px;"));
    m_pTrustNotice =
        new QLabel(QStringLiteral("未签名模式：接受未签名的被控端（security/acceptUnsigned=1）"));
    m_pTrustNotice->setObjectName(QStringLiteral("trustNotice"));
    m_pTrustNotice->setStyleSheet(
        QStringLiteral("color:#7a1f00;background:#ffd75e;border-radius:3px;padding:2px 6px;font-size:11px;"));
    m_pTrustNotice->setToolTip(QStringLiteral("局域网内不知道密码的主机也能冒充被控端、伪造结果；"
                                              "只在有不签名的被控端时打开"));
    m_pTrustNotice->setVisible(FarmTrust::acceptUnsigned());
    m_pBtnWelcome = linkButton(QStringLiteral("欢迎您"));
    m_pBtnOfficial = linkButton(QStringLiteral("官网"));
    m_pBtnCustom = linkButton(QStringLiteral("客服"));
    m_pBtnPublic = linkButton(QStringLiteral("公众号"));
    m_pBtnHelp = linkButton(QStringLiteral("帮助"));
    m_pBtnRefresh = new QPushButton(QStringLiteral("刷新设备"));
    m_pBtnRefresh->setStyleSheet(
        QStringLiteral("QPushButton{color:#0997f7;background:white;border-radius:4px;"
                       "padding:5px 14px;}"));
    m_pBtnExit = linkButton(QStringLiteral("退出"));

    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(12, 0, 12, 0);
    layout->addWidget(logo);
    layout->addWidget(title);
    layout->addSpacing(8);
    layout->addWidget(m_pVersion);
    layout->addSpacing(8);
    layout->addWidget(m_pTrustNotice);
    layout->addStretch(1);
    for (QPushButton* b : {m_pBtnOfficial, m_pBtnCustom, m_pBtnPublic, m_pBtnHelp})
        layout->addWidget(b);
    layout->addSpacing(16);
    layout->addWidget(m_pBtnRefresh);
    layout->addSpacing(16);
    layout->addWidget(m_pBtnWelcome);
    layout->addWidget(m_pBtnExit);
    return bar;
}

void CenterToolMainDlgUI::setWelcome(const QString& nickName)
{
    m_pBtnWelcome->setText(QStringLiteral("欢迎您 %1").arg(nickName));
}
