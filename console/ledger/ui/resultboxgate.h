#pragma once

#include "resultdisplay.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QMessageBox;

// At most one result box at a time. While one is open, a further result is not shown in a box of its
// own (the results ledger keeps it); the open box then says how many went to the ledger. Installed
// over the box in use and taken off again when it goes.
class ResultBoxGate : public QObject
{
    Q_OBJECT
public:
    explicit ResultBoxGate(QObject* parent = nullptr);
    ~ResultBoxGate() override;

    int heldBack() const { return m_iHeldBack; }
    bool isOpen() const { return m_bOpen; }
    static QString heldBackNote(int n);

private:
    bool show(const QString& title, const QString& text, bool twoButtons);
    void noteOnOpenBox();

    ResultBoxFn m_previous;
    bool m_bOpen = false;
    int m_iHeldBack = 0;
    QString m_openText;
};
