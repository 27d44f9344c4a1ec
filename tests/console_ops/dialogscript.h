#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <functional>

// Answers the windows the console opens as a user would, with keys on the real widgets: each step
// waits (polled) until a menu or modal window of its kind is the active one and then types on it.
// The console's own nested loops keep polling while a question is open.
class DialogScript : public QObject
{
public:
    // True once the step handled the active window.
    using Step = std::function<bool(QWidget* pActive)>;

    DialogScript()
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &DialogScript::poll);
        m_timer.start();
    }
    DialogScript& then(Step step)
    {
        m_steps.append(std::move(step));
        return *this;
    }
    bool done() const { return m_steps.isEmpty(); }
    // The texts of the message boxes answered, in order.
    QStringList boxes;

    // The menu entry with this text, by arrow keys and Enter.
    static Step menuEntry(const QString& text)
    {
        return [text](QWidget* w) {
            auto* menu = qobject_cast<QMenu*>(w);
            if (!menu || !menu->isVisible())
                return false;
            for (int i = 0; i < menu->actions().size() + 1; ++i) {
                QTest::keyClick(menu, Qt::Key_Down);
                if (menu->activeAction() && menu->activeAction()->text() == text) {
                    pressLater(menu, Qt::Key_Return);
                    return true;
                }
            }
            return false;
        };
    }
    // A message box (its text kept), answered with this key.
    Step box(Qt::Key key = Qt::Key_Return)
    {
        return [this, key](QWidget* w) {
            auto* pBox = qobject_cast<QMessageBox*>(w);
            if (!pBox || !pBox->isVisible())
                return false;
            boxes << pBox->text();
            pressLater(pBox, key);
            return true;
        };
    }
    // The text typed over what the input dialog starts with, then Enter (or Esc).
    static Step input(const QString& text, Qt::Key key = Qt::Key_Return)
    {
        return [text, key](QWidget* w) {
            auto* pDlg = qobject_cast<QInputDialog*>(w);
            QLineEdit* edit = pDlg ? pDlg->findChild<QLineEdit*>() : nullptr;
            if (!edit || !pDlg->isVisible())
                return false;
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier); // what it starts with goes
            QTest::keyClick(edit, Qt::Key_Backspace);
            QTest::keyClicks(edit, text);
            pressLater(edit, key);
            return true;
        };
    }
    // The file's path typed into the file dialog's name field, then Enter.
    static Step file(const QString& path)
    {
        return [path](QWidget* w) {
            auto* pDlg = qobject_cast<QFileDialog*>(w);
            auto* edit = pDlg ? pDlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
            if (!edit || !pDlg->isVisible())
                return false;
            edit->clear();
            QTest::keyClicks(edit, path);
            pressLater(edit, Qt::Key_Return);
            return true;
        };
    }

    // The key that answers a window goes out after the step: a question it opens (with a loop of its
    // own) is then answered by the next step, as this timer does not fire inside its own call.
    static void pressLater(QWidget* pWidget, Qt::Key key)
    {
        QMetaObject::invokeMethod(
            pWidget, [pWidget, key] { QTest::keyClick(pWidget, key); }, Qt::QueuedConnection);
    }

private:
    // A menu that opened the question may still count as the active popup while the question runs.
    void poll()
    {
        for (QWidget* pActive : {QApplication::activePopupWidget(), QApplication::activeModalWidget()}) {
            if (pActive && !m_steps.isEmpty() && m_steps.first()(pActive)) {
                m_steps.removeFirst();
                return;
            }
        }
    }

    QTimer m_timer;
    QList<Step> m_steps;
};
