#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

// The widgets of the agent window: the PC's identity, the bound account, the emulator product and
// its folder, the run limit, the starts at once, the watchdog mode, the save button, the connection
// state and the operation-log pane. MainWnd adds the behaviour.
class MainDlgUI : public QDialog
{
    Q_OBJECT
public:
    static const QString kNoSimuTypeText; // "请选择模拟器"
    static const QString kLoginText;      // "点击登录"
    static const QString kAcceptUnsignedNotice;
    // Lines the log pane keeps; older ones leave it (the operation log file keeps them all).
    static constexpr int kMaxLogLines = 2000;

    explicit MainDlgUI(QWidget* parent = nullptr);

    QLineEdit* pcNameEdit() const { return m_pPcNameEdit; }
    QLabel* pcIpLabel() const { return m_pPcIpLabel; }
    QPushButton* accountBtn() const { return m_pAccountBtn; }
    QComboBox* simuTypeCbb() const { return m_pSimuTypeCbb; }
    QLineEdit* simuPathEdit() const { return m_pSimuPathEdit; }
    QPushButton* browseBtn() const { return m_pBrowseBtn; }
    QComboBox* runLimitCbb() const { return m_pRunLimitCbb; }
    // How many instances of one start command boot at the same time (1 to 10).
    QComboBox* parallelStartsCbb() const { return m_pParallelStartsCbb; }
    QCheckBox* daemonCheck() const { return m_pDaemonCheck; }
    // security/acceptUnsigned, saved with the other settings; the notice shows while it is on.
    QCheckBox* acceptUnsignedCheck() const { return m_pAcceptUnsignedCheck; }
    QLabel* trustNotice() const { return m_pTrustNotice; }
    QPushButton* helpBtn() const { return m_pHelpBtn; }
    QPushButton* saveBtn() const { return m_pSaveBtn; }
    QLabel* stateLabel() const { return m_pStateLabel; }
    QTextEdit* logPane() const { return m_pLogPane; }
    QLabel* versionLabel() const { return m_pVersionLabel; }

private:
    void createWidgets();
    void layoutWidgets();
    QLabel* makeLabel(const QString& text);

    QLineEdit* m_pPcNameEdit = nullptr;
    QLabel* m_pPcIpLabel = nullptr;
    QPushButton* m_pAccountBtn = nullptr;
    QComboBox* m_pSimuTypeCbb = nullptr;
    QLineEdit* m_pSimuPathEdit = nullptr;
    QPushButton* m_pBrowseBtn = nullptr;
    QComboBox* m_pRunLimitCbb = nullptr;
    QComboBox* m_pParallelStartsCbb = nullptr;
    QCheckBox* m_pDaemonCheck = nullptr;
    QCheckBox* m_pAcceptUnsignedCheck = nullptr;
    QLabel* m_pTrustNotice = nullptr;
    QPushButton* m_pHelpBtn = nullptr;
    QPushButton* m_pSaveBtn = nullptr;
    QLabel* m_pStateLabel = nullptr;
    QTextEdit* m_pLogPane = nullptr;
    QLabel* m_pVersionLabel = nullptr;
};
