#include "maindlgui.h"

#include "updatecheck.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>

const QString MainDlgUI::kNoSimuTypeText = QStringLiteral("请选择模拟器");
const QString MainDlgUI::kLoginText = QStringLiteral("点击登录");
const QString MainDlgUI::kAcceptUnsignedNotice =
    QStringLiteral("未签名模式（security/acceptUnsigned=1）：本机也执行不签名的指令，"
                   "局域网内不知道密码的主机也能操作本机的模拟器");

namespace {
const char* kLabelStyle = "color:#507a9b;";
const char* kHelpStyle = "QPushButton{background:transparent;color:blue;border-style:none none solid none;}";
} // namespace

MainDlgUI::MainDlgUI(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("MainDlgUIThis"));
    setStyleSheet(QStringLiteral(
        "MainDlgUI#MainDlgUIThis{background-image:url(:/res/Main/ClientEmptyBkg.png)} noreapt"));
    setWindowTitle(QStringLiteral("Tovia模拟器被控端"));
    setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
    createWidgets();
    layoutWidgets();
}

QLabel* MainDlgUI::makeLabel(const QString& text)
{
    auto* label = new QLabel(text, this);
    label->setFont(QFont(QStringLiteral("黑体")));
    label->setStyleSheet(QLatin1String(kLabelStyle));
    return label;
}

void MainDlgUI::createWidgets()
{
    m_pPcNameEdit = new QLineEdit(this);
    m_pPcIpLabel = makeLabel(QString());
    m_pAccountBtn = new QPushButton(kLoginText, this);
    m_pSimuTypeCbb = new QComboBox(this);
    m_pSimuTypeCbb->addItems({kNoSimuTypeText, QStringLiteral("逍遥模拟器"), QStringLiteral("雷电模拟器")});
    m_pSimuPathEdit = new QLineEdit(this);
    m_pBrowseBtn = new QPushButton(QStringLiteral("..."), this);
    m_pRunLimitCbb = new QComboBox(this);
    m_pParallelStartsCbb = new QComboBox(this);
    m_pParallelStartsCbb->setToolTip(
        QStringLiteral("一条启动指令中同时启动的模拟器数量，不超过同时运行数量"));
    for (int i = 1; i <= 10; ++i) {
        m_pRunLimitCbb->addItem(QString::number(i));
        m_pParallelStartsCbb->addItem(QString::number(i));
    }
    m_pDaemonCheck = new QCheckBox(this);
    m_pAcceptUnsignedCheck = new QCheckBox(QStringLiteral("接受不签名的总控端"), this);
    m_pAcceptUnsignedCheck->setToolTip(QStringLiteral("只为不会签名的旧总控端打开；保存后生效"));
    m_pTrustNotice = new QLabel(kAcceptUnsignedNotice, this);
    m_pTrustNotice->setWordWrap(true);
    m_pTrustNotice->setStyleSheet(QStringLiteral("color:#7a1f00;background:#ffd75e;padding:3px;"));
    m_pTrustNotice->hide();
    m_pHelpBtn = new QPushButton(style()->standardIcon(QStyle::SP_MessageBoxQuestion), QString(), this);
    m_pHelpBtn->setStyleSheet(QLatin1String(kHelpStyle));
    m_pSaveBtn = new QPushButton(QStringLiteral("保存配置"), this);
    m_pStateLabel = makeLabel(QString());
    m_pLogPane = new QTextEdit(this);
    m_pLogPane->setReadOnly(true);
    m_pLogPane->document()->setMaximumBlockCount(kMaxLogLines);
    m_pVersionLabel = makeLabel(QStringLiteral("Tovia模拟器版-被控端v%1")
                                    .arg(UpdateCheck::readRcVersion(QStringLiteral(":/ClientVersion.rc"))));
    // No button is the dialog's default: Enter in a field must never click one (the account
    // button would ask to log out, with "确认" as its default).
    for (QPushButton* pBtn : findChildren<QPushButton*>()) {
        pBtn->setAutoDefault(false);
        pBtn->setDefault(false);
    }
}

void MainDlgUI::layoutWidgets()
{
    auto* grid = new QGridLayout(this);
    grid->setSpacing(4);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setColumnMinimumWidth(0, 90);
    grid->setColumnMinimumWidth(1, 220);
    int row = 0;
    grid->addWidget(m_pVersionLabel, row++, 0, 1, 3);
    const auto addRow = [&](const QString& label, QWidget* field, QWidget* extra = nullptr) {
        grid->setRowMinimumHeight(row, 28);
        grid->addWidget(makeLabel(label), row, 0);
        grid->addWidget(field, row, 1);
        if (extra)
            grid->addWidget(extra, row, 2);
        ++row;
    };
    addRow(QStringLiteral("电脑名称"), m_pPcNameEdit);
    addRow(QStringLiteral("电脑IP"), m_pPcIpLabel);
    addRow(QStringLiteral("已绑定账号"), m_pAccountBtn);
    addRow(QStringLiteral("选择模拟器"), m_pSimuTypeCbb);
    addRow(QStringLiteral("模拟器路径"), m_pSimuPathEdit, m_pBrowseBtn);
    addRow(QStringLiteral("同时运行数量"), m_pRunLimitCbb);
    addRow(QStringLiteral("同时启动数量"), m_pParallelStartsCbb);
    addRow(QStringLiteral("模拟器守护"), m_pDaemonCheck, m_pHelpBtn);
    addRow(QStringLiteral("安全"), m_pAcceptUnsignedCheck);
    grid->addWidget(m_pSaveBtn, row++, 1);
    grid->addWidget(m_pTrustNotice, row++, 0, 1, 3);
    grid->addWidget(m_pStateLabel, row++, 0, 1, 3);
    grid->addWidget(m_pLogPane, row, 0, 1, 3);
    grid->setRowStretch(row, 1);
    resize(460, 640);
}
