#include "resultboxgate.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QThread>

ResultBoxGate::ResultBoxGate(QObject* parent) : QObject(parent), m_previous(currentResultBox())
{
    setResultBox([this](const QString& title, const QString& text, bool twoButtons) {
        return show(title, text, twoButtons);
    });
}

ResultBoxGate::~ResultBoxGate()
{
    setResultBox(m_previous);
}

QString ResultBoxGate::heldBackNote(int n)
{
    return QStringLiteral("另有%1个结果未单独提示，已记入结果记录").arg(n);
}

// A question held back is not confirmed. A worker's call is answered on the gate's (the GUI) thread,
// where the boxes live; the worker waits.
bool ResultBoxGate::show(const QString& title, const QString& text, bool twoButtons)
{
    if (QThread::currentThread() != thread()) {
        bool confirmed = false;
        QMetaObject::invokeMethod(
            this, [&] { confirmed = show(title, text, twoButtons); }, Qt::BlockingQueuedConnection);
        return confirmed;
    }
    if (m_bOpen) {
        ++m_iHeldBack;
        qWarning().noquote() << "result box held back (one is open):" << text;
        noteOnOpenBox();
        return false;
    }
    m_bOpen = true;
    m_iHeldBack = 0;
    m_openText = text;
    const bool confirmed = m_previous(title, text, twoButtons);
    m_bOpen = false;
    return confirmed;
}

void ResultBoxGate::noteOnOpenBox()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* pBox = qobject_cast<QMessageBox*>(w);
        if (pBox && pBox->isVisible() && pBox->text().startsWith(m_openText)) {
            pBox->setText(m_openText + QStringLiteral("\n\n") + heldBackNote(m_iHeldBack));
            return;
        }
    }
}
