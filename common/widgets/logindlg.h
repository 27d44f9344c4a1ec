#pragma once

#include "loginui.h"

// The agent's login dialog. With the setting "common/IsDefAutoLogin" true (the default) both check
// boxes are hidden and every stored login is filled in with both ticked, so the agent signs in by
// itself on every start once the password has been stored.
class LoginDlg : public LoginUI
{
    Q_OBJECT
public:
    explicit LoginDlg(QWidget* parent = nullptr, const struLoginTimings& timings = struLoginTimings());

protected:
    void createWidgets() override;
    void fillFromLoginRecord(const struLoginRecord& rec) override;

private:
    bool m_bDefAutoLogin = false;
};
