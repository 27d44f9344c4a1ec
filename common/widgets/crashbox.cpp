#include "crashbox.h"

#include "platform.h"

#include <QApplication>
#include <QMessageBox>

namespace {

#ifdef Q_OS_WIN
void showCrashBox(std::uint64_t code, std::uintptr_t address)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(platform::kCrashBoxTitle),
                    QString::fromStdString(platform::crashBoxText(code, address)), QMessageBox::Ok);
    box.setTextFormat(Qt::RichText);
    box.exec();
}
#endif

} // namespace

namespace CrashBox {

DebugLog::CrashBox crashBox()
{
#ifdef Q_OS_WIN
    return showCrashBox;
#else
    return nullptr;
#endif
}

} // namespace CrashBox
