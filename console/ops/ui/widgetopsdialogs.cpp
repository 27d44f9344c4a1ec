#include "widgetopsdialogs.h"

#include "resultdisplay.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

QString WidgetOpsDialogs::chooseFile(const QString& title)
{
    QFileDialog dlg(m_pParent, title);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setFilter(QDir::Files | QDir::AllDirs | QDir::NoDotAndDotDot);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    return dlg.selectedFiles().first();
}

bool WidgetOpsDialogs::confirm(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, m_pParent);
    QPushButton* pYes = box.addButton(QStringLiteral("确认"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    box.exec();
    return box.clickedButton() == pYes;
}

bool WidgetOpsDialogs::askText(const QString& title, const QString& label, QString& text)
{
    bool ok = false;
    const QString entered = QInputDialog::getText(m_pParent, title, label, QLineEdit::Normal, QString(), &ok);
    if (ok)
        text = entered;
    return ok;
}

void WidgetOpsDialogs::showResult(const CCommResult& result)
{
    ::showResult(result);
}
