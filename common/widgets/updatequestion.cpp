#include "updatequestion.h"

#include <QMessageBox>

namespace UpdateCheck {

bool askUpdateQuestion(QWidget* parent)
{
    return QMessageBox::information(parent, QStringLiteral("更新提示"),
                                    QStringLiteral("检测到有更新，是否更新？"),
                                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

} // namespace UpdateCheck
