// placeholder
#include <QtTest>
class TstLedgerWindow : public QObject { Q_OBJECT };
QTEST_MAIN(TstLedgerWindow)
#include "tst_ledgerwindow.moc"
