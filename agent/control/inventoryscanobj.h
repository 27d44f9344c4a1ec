#pragma once

#include <QAtomicInt>
#include <QObject>
#include <QString>

// The inventory scan, on a worker thread of its own: it runs the product's tools (the inventory
// reader and the running list), which may take seconds, and the window must never wait for them.
// Scans asked for one after another run in that order.
class InventoryScanObj : public QObject
{
    Q_OBJECT
public:
    explicit InventoryScanObj(QObject* parent = nullptr);

    // A scan has ended (any thread may ask).
    bool hasScanned() const { return m_scanned.loadAcquire() != 0; }

signals:
    // A line for the operation log.
    void sigLogOper(QString text);
    // Scan number iScanId is over and its records are stored.
    void sigScanned(int iScanId);

public slots:
    // Every instance's stored record from the inventory and the running list. The first scan sets
    // every record; later ones (after a login, a product change) leave an instance under an
    // operation to that operation's outcome.
    void slScan(int iScanId);

private:
    void storeInstance(const QString& idx, const QString& name, bool isRunning, bool daemonOn,
                       quint64 seenOpSeq);

    QAtomicInt m_scanned;
};
