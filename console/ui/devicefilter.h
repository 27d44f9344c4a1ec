#pragma once

#include <QObject>
#include <QStringList>

class MyDrawerEx;
class MyGrpDrawer;
class QTimer;
class VedioBoxDrawer;
class VedioBoxGrpDrawer;

// Narrows the device list and the tiles to the emulators a filter text names. The text is split at
// white space; an emulator is shown when every word is found (letter case aside) in its name, its
// state text, or its PC's nick name, computer name, address or online label ("机房A 运行中": the
// running emulators of 机房A). A PC none of whose emulators is shown is hidden with its tiles; a PC
// without emulators is shown when its own texts match.
//
// A row the filter hides loses its tick, so that what the operations act on is what is seen.
class DeviceFilter : public QObject
{
    Q_OBJECT
public:
    DeviceFilter(MyGrpDrawer* pList, VedioBoxGrpDrawer* pTiles, QObject* parent = nullptr);

    static QStringList words(const QString& text);
    // Every word is found in one of the texts.
    static bool matches(const QStringList& words, const QStringList& texts);

    QString text() const { return m_text; }
    bool isActive() const { return !m_words.isEmpty(); }
    // Emulator rows shown after the last pass.
    int shownRows() const { return m_iShownRows; }

signals:
    // A pass is over: this many emulator rows are shown.
    void sigApplied(int iShownRows);

public slots:
    // A new text: applied at once.
    void slSetText(const QString& text);
    // The list or its states changed: while a text is set, it is applied again soon (one pass
    // however many changes come meanwhile).
    void slSchedule();
    void slApply();

private:
    int applyToPc(MyDrawerEx* pPc, VedioBoxDrawer* pTiles);

    MyGrpDrawer* m_pList;
    VedioBoxGrpDrawer* m_pTiles;
    QTimer* m_pTimer = nullptr;
    QString m_text;
    QStringList m_words;
    int m_iShownRows = 0;
};
