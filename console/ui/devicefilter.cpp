#include "devicefilter.h"

#include "mygrpdrawer.h"
#include "vedioboxdrawer.h"

#include <QCheckBox>
#include <QRegularExpression>
#include <QTimer>

namespace {
constexpr int kReapplyMs = 200;

void setShown(QWidget* pWidget, bool bShown)
{
    if (pWidget && pWidget->isHidden() == bShown)
        pWidget->setVisible(bShown);
}
} // namespace

DeviceFilter::DeviceFilter(MyGrpDrawer* pList, VedioBoxGrpDrawer* pTiles, QObject* parent)
    : QObject(parent), m_pList(pList), m_pTiles(pTiles)
{
    m_pTimer = new QTimer(this);
    m_pTimer->setSingleShot(true);
    m_pTimer->setInterval(kReapplyMs);
    if (!connect(m_pTimer, &QTimer::timeout, this, &DeviceFilter::slApply))
        qWarning("connect QTimer::timeout DeviceFilter::slApply err");
}

QStringList DeviceFilter::words(const QString& text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.split(space, Qt::SkipEmptyParts);
}

bool DeviceFilter::matches(const QStringList& words, const QStringList& texts)
{
    for (const QString& w : words) {
        bool found = false;
        for (const QString& t : texts) {
            if (t.contains(w, Qt::CaseInsensitive)) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

void DeviceFilter::slSetText(const QString& text)
{
    const QStringList w = words(text);
    m_text = text;
    if (w == m_words)
        return;
    m_words = w;
    slApply();
}

void DeviceFilter::slSchedule()
{
    if (isActive() && !m_pTimer->isActive())
        m_pTimer->start();
}

void DeviceFilter::slApply()
{
    m_pTimer->stop();
    int shown = 0;
    for (MyDrawerEx* pPc : m_pList->pcDrawers())
        shown += applyToPc(pPc, m_pTiles->findPc(pPc->pcName()));
    m_iShownRows = shown;
    emit sigApplied(shown);
}

// Returns the rows of the PC shown.
int DeviceFilter::applyToPc(MyDrawerEx* pPc, VedioBoxDrawer* pTiles)
{
    const DrawerTitleCell* pTitle = pPc->titleCell();
    const QStringList pcTexts{pTitle->name(), pPc->pcName(), pPc->ipAddr(), pTitle->devState()};
    const QList<MyDrawerCell*> cells = pPc->cells();
    int shown = 0;
    for (MyDrawerCell* c : cells) {
        const bool bShown = matches(m_words, pcTexts + QStringList{c->simuName(), c->stateText()});
        if (!bShown && c->isChecked())
            c->checkBox()->setChecked(false);
        setShown(c, bShown);
        setShown(pTiles ? pTiles->box(c->memuIdx()) : nullptr, bShown);
        shown += bShown ? 1 : 0;
    }
    const bool bPcShown = shown > 0 || (cells.isEmpty() && matches(m_words, pcTexts));
    setShown(pPc, bPcShown);
    setShown(pTiles, bPcShown);
    return shown;
}
