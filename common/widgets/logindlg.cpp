#include "logindlg.h"

#include "simusettings.h"

#include <QCheckBox>
#include <QLineEdit>

LoginDlg::LoginDlg(QWidget* parent, const struLoginTimings& timings) : LoginUI(parent, timings) {}

void LoginDlg::createWidgets()
{
    LoginUI::createWidgets();
    m_bDefAutoLogin = SimuSettings::getIsDefAutoLogin();
    if (m_bDefAutoLogin) {
        m_pCkbAutoLogin->setChecked(true);
        m_pCkbRcdPwd->setChecked(true);
        m_pCkbAutoLogin->hide();
        m_pCkbRcdPwd->hide();
    }
}

void LoginDlg::fillFromLoginRecord(const struLoginRecord& rec)
{
    m_pLePwd->setText(rec.strPwd);
    m_pCkbRcdPwd->setChecked(m_bDefAutoLogin || rec.bRcdPwd);
    m_pCkbAutoLogin->setChecked(m_bDefAutoLogin || rec.bAutoLogin);
}
