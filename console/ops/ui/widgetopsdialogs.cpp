#include "widgetopsdialogs.h"

#include "resultdisplay.h"
#include "simusettings.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

// The remembered folder while it still exists, else the user's home.
QString startFolder()
{
    const QString last = SimuSettings::value(WidgetOpsDialogs::lastFolderKey()).toString();
    return !last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath();
}

} // namespace

QStringList WidgetOpsDialogs::apkNameFilters()
{
    return {QStringLiteral("APK文件 (*.apk)"), QStringLiteral("所有文件 (*)")};
}

QString WidgetOpsDialogs::chooseFile(const QString& title)
{
    QFileDialog dlg(m_pParent, title, startFolder());
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setNameFilters(apkNameFilters());
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return QString();
    const QString path = dlg.selectedFiles().first();
    SimuSettings::setValue(lastFolderKey(), QFileInfo(path).absolutePath());
    return path;
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
    const QString entered = QInputDialog::getText(m_pParent, title, label, QLineEdit::Normal, text, &ok);
    if (ok)
        text = entered;
    return ok;
}

bool WidgetOpsDialogs::askNumber(const QString& title, const QString& label, int& value, int iMin, int iMax)
{
    bool ok = false;
    const int entered = QInputDialog::getInt(m_pParent, title, label, value, iMin, iMax, 1, &ok);
    if (ok)
        value = entered;
    return ok;
}

void WidgetOpsDialogs::showResult(const CCommResult& result)
{
    ::showResult(result);
}
