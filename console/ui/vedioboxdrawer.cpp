#include "vedioboxdrawer.h"

#include "jsoncodec.h"
#include "qflowlayout.h"
#include "resultdisplay.h"
#include "thumbnail.h"
#include "thumbnailcache.h"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>

#include <algorithm>

namespace {
const QString kStartingPic = QStringLiteral(":/res/vediobox/vedioBoxStarting.png");
const QString kDefaultPic = QStringLiteral(":/res/vediobox/vedioBoxDef.png");
const QString kOfflinePic = QStringLiteral(":/res/vediobox/vedioBoxOffline.png");
} // namespace

AVedioBox::AVedioBox(const struVedioBoxInfo& info, QWidget* parent) : QWidget(parent), m_info(info)
{
    setFixedSize(kWidth, kHeight);
    m_offline = stockPicture(kOfflinePic);
    m_default = stockPicture(kDefaultPic);
    m_picture = m_default;
    if (!connect(this, &AVedioBox::sigBkgClicked, this, &AVedioBox::btnBkgClicked))
        qWarning("connect AVedioBox::sigBkgClicked AVedioBox::btnBkgClicked err");
    if (!connect(this, &AVedioBox::sigBkgDoubleClicked, this, &AVedioBox::btnBkgDoublieClked))
        qWarning("connect PicButton::doubleClicked AVedioBox::btnBkgDoublieClked err");
    if (!connect(this, &AVedioBox::sigUpdate, this, &AVedioBox::slUpdate, Qt::QueuedConnection))
        qWarning("connect AVedioBox::sigUpdate AVedioBox::slUpdate err");
}

// Stock pictures are loaded once and shared by every tile (implicitly shared images).
const QImage& AVedioBox::stockPicture(const QString& path)
{
    static QHash<QString, QImage> cache;
    auto it = cache.find(path);
    if (it == cache.end())
        it = cache.insert(path, QImage(path));
    return *it;
}

QString AVedioBox::name() const
{
    return m_info.strSimuName;
}

void AVedioBox::setName(const QString& name)
{
    m_info.strSimuName = name;
    update();
}

void AVedioBox::setPcAddress(const QString& ipAddr, const QString& title)
{
    m_info.strIpAddr = ipAddr;
    m_info.strPcNickName = title;
}

int AVedioBox::state() const
{
    QMutexLocker lock(&m_stateLock);
    return m_iState;
}

int AVedioBox::stateTime() const
{
    QMutexLocker lock(&m_stateLock);
    return m_iTime;
}

void AVedioBox::setChecked(bool bChecked)
{
    if (m_bChecked == bChecked)
        return;
    m_bChecked = bChecked;
    update();
}

bool AVedioBox::isProgressVisible() const
{
    return m_pProgress && !m_pProgress->isHidden();
}

int AVedioBox::progress() const
{
    return m_pProgress ? m_pProgress->value() : 0;
}

bool AVedioBox::setState(int iState, int iTime)
{
    {
        QMutexLocker lock(&m_stateLock);
        if (iTime <= m_iTime && iTime != -1)
            return false;
        m_iState = iState;
        m_iTime = iTime;
    }
    if (iState != eStateInstalling && isProgressVisible())
        m_pProgress->hide();
    // Only the picture shows the state: other states need no repaint.
    if (iState == eStateStarting || iState == eStateNotStarted) {
        {
            QMutexLocker lock(&m_picLock);
            m_shot.clear();
            m_picture = iState == eStateStarting ? stockPicture(kStartingPic) : m_default;
        }
        update();
    }
    return true;
}

void AVedioBox::showRow(const struSimuRow& row, bool bRepaint)
{
    bool bStateChanged = false;
    {
        QMutexLocker lock(&m_stateLock);
        bStateChanged = m_iState != row.iState;
        m_iState = row.iState;
        m_iTime = row.iTime;
    }
    if (row.iState != eStateInstalling && isProgressVisible())
        m_pProgress->hide();
    bool bDirty = false;
    {
        QMutexLocker lock(&m_picLock);
        if (bStateChanged && (row.iState == eStateStarting || row.iState == eStateNotStarted)) {
            m_picture = row.iState == eStateStarting ? stockPicture(kStartingPic) : m_default;
            bDirty = true;
        }
        if (row.shotSerial != m_shotSerial) {
            m_shot = row.shot;
            m_bShotPng = row.bShotPng;
            m_shotSerial = row.shotSerial;
            m_shotKey = ThumbnailCache::instance().newKey();
            bDirty = true;
        }
    }
    if (row.simuName != m_info.strSimuName) {
        m_info.strSimuName = row.simuName;
        bDirty = true;
    }
    if (bDirty && bRepaint)
        update();
}

void AVedioBox::setPicture(const QByteArray& bytes, bool bPng)
{
    QMutexLocker lock(&m_picLock);
    m_shot = bytes;
    m_bShotPng = bPng;
    m_shotKey = ThumbnailCache::instance().newKey();
}

void AVedioBox::setJpeg(const QByteArray& jpeg, bool bRepaint)
{
    setPicture(jpeg, false);
    if (bRepaint)
        update();
}

void AVedioBox::setImage(const QImage& image)
{
    QByteArray png;
    QBuffer out(&png);
    if (image.isNull() || !out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG")) {
        qWarning().noquote() << "picture of" << m_info.strPcName << m_info.strMemuIdx << "not kept";
        return;
    }
    setPicture(png, true);
    update();
}

void AVedioBox::setOffline(bool bOffline)
{
    if (m_bOffline == bOffline)
        return;
    m_bOffline = bOffline;
    update();
}

bool AVedioBox::hasScreenshot() const
{
    QMutexLocker lock(&m_picLock);
    return !m_shot.isEmpty();
}

QImage AVedioBox::currentPicture()
{
    QMutexLocker lock(&m_picLock);
    if (m_shot.isEmpty())
        return m_picture;
    QString why;
    bool bDecoded = false;
    const QImage shot = ThumbnailCache::instance().picture(
        m_shotKey, m_shot, m_bShotPng ? ThumbnailCache::eFormat::Png : ThumbnailCache::eFormat::Jpeg, &why,
        &bDecoded);
    m_decodes += bDecoded ? 1 : 0;
    if (!shot.isNull())
        return shot;
    qWarning().noquote() << "thumbnail of" << m_info.strPcName << m_info.strMemuIdx << "refused:" << why;
    m_shot.clear();
    return m_picture;
}

void AVedioBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect picRect(0, 0, kWidth, kPictureHeight);
    p.fillRect(rect(), QColor(0x2b, 0x30, 0x3b));
    const QImage pic = m_bOffline ? m_offline : currentPicture();
    if (!pic.isNull())
        p.drawImage(picRect, pic);
    p.setPen(Qt::white);
    const QRect caption(4, kPictureHeight, kWidth - 8, kHeight - kPictureHeight);
    p.drawText(caption, Qt::AlignCenter, p.fontMetrics().elidedText(name(), Qt::ElideRight, caption.width()));
    p.setPen(QPen(m_bChecked ? QColor(0x09, 0x97, 0xf7) : QColor(0x44, 0x4a, 0x56), m_bChecked ? 3 : 1));
    p.drawRect(rect().adjusted(1, 1, -2, -2));
    if (m_bChecked) {
        p.setBrush(QColor(0x09, 0x97, 0xf7));
        p.drawEllipse(QRect(kWidth - 24, 6, 18, 18));
        p.setPen(QPen(Qt::white, 2));
        p.drawPolyline(QPolygon({QPoint(kWidth - 20, 15), QPoint(kWidth - 16, 19), QPoint(kWidth - 10, 11)}));
    }
}

void AVedioBox::contextMenuEvent(QContextMenuEvent* event)
{
    emit sigMenuRequested(event->globalPos());
}

void AVedioBox::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && QRect(0, 0, kWidth, kPictureHeight).contains(event->pos()))
        emit sigBkgClicked();
    QWidget::mousePressEvent(event);
}

void AVedioBox::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit sigBkgDoubleClicked();
    QWidget::mouseDoubleClickEvent(event);
}

void AVedioBox::btnBkgClicked()
{
    m_bChecked = !m_bChecked;
    update();
    emit sigSetBoxCheck(name(), this, m_bChecked);
}

void AVedioBox::btnBkgDoublieClked()
{
    emit sigRemoteDesktopRequested(m_info);
}

void AVedioBox::slUpdate()
{
    update();
}

void AVedioBox::slBeginInstall()
{
    // Made at the first install: thousands of tiles need no bar of their own until then.
    if (!m_pProgress) {
        m_pProgress = new QProgressBar(this);
        m_pProgress->setGeometry(6, kPictureHeight - 16, kWidth - 12, 12);
        m_pProgress->setRange(0, 100);
        m_pProgress->setTextVisible(false);
    }
    m_pProgress->setValue(0);
    m_pProgress->show();
}

void AVedioBox::slSetProgress(int iProgress)
{
    if (m_pProgress && m_pProgress->value() != iProgress)
        m_pProgress->setValue(iProgress);
}

void AVedioBox::slInstallFinished()
{
    if (m_pProgress)
        m_pProgress->hide();
}

void AVedioBox::slReplyResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    showResult(*pRet);
    delete pRet;
}

void AVedioBoxList::append(AVedioBox* pBox)
{
    QMutexLocker lock(&m_lock);
    m_boxes.append(pBox);
}

int AVedioBoxList::size() const
{
    QMutexLocker lock(&m_lock);
    return m_boxes.size();
}

AVedioBox* AVedioBoxList::at(int pos) const
{
    QMutexLocker lock(&m_lock);
    return m_boxes.value(pos);
}

int AVedioBoxList::FindBoxByName(const QString& name) const
{
    qDebug("FindBoxByName");
    QMutexLocker lock(&m_lock);
    for (int i = 0; i < m_boxes.size(); ++i) {
        if (m_boxes.at(i)->name().compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QPoint AVedioBoxList::GetBoxPosByIndexAt(int pos) const
{
    qDebug("GetBoxPosByIndexAt");
    QMutexLocker lock(&m_lock);
    AVedioBox* box = m_boxes.value(pos);
    return box ? box->mapToGlobal(QPoint(0, 0)) : QPoint(-1, -1);
}

void AVedioBoxList::SetCheckedAt(int pos, bool bChecked)
{
    qDebug("SetCheckedAt");
    QMutexLocker lock(&m_lock);
    if (AVedioBox* box = m_boxes.value(pos))
        box->setChecked(bChecked);
}

void AVedioBoxList::RemoveOneCell(AVedioBox* pBox)
{
    qDebug("RemoveOneCell");
    QMutexLocker lock(&m_lock);
    m_boxes.removeAll(pBox);
}

VedioBoxDrawerTitle::VedioBoxDrawerTitle(const QString& text, QWidget* parent) : AbsDrawerTitle(parent)
{
    setFixedHeight(28);
    setBackground(QColor(0xdf, 0xe6, 0xef));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 8, 0);
    m_pArrow = new QLabel(QStringLiteral("▾"), this);
    m_pText = new QLabel(text, this);
    layout->addWidget(m_pArrow);
    layout->addWidget(m_pText, 1);
}

void VedioBoxDrawerTitle::setText(const QString& text)
{
    m_pText->setText(text);
}

QString VedioBoxDrawerTitle::text() const
{
    return m_pText->text();
}

void VedioBoxDrawerTitle::setOpened(bool bOpened)
{
    AbsDrawerTitle::setOpened(bOpened);
    m_pArrow->setText(bOpened ? QStringLiteral("▾") : QStringLiteral("▸"));
}

VedioBoxDrawer::VedioBoxDrawer(const QString& pcName, const QString& nickName, const QString& ipAddr,
                               QWidget* parent)
    : AbsDrawer(parent), m_pcName(pcName), m_nickName(nickName), m_ipAddr(ipAddr)
{
    m_pTitleRow = new VedioBoxDrawerTitle(QString(), this);
    setTitle(m_pTitleRow);
    m_pFlow = new QFlowLayout(body());
    refreshTitle();
}

void VedioBoxDrawer::setNickName(const QString& nick)
{
    m_nickName = nick;
    refreshTitle();
}

void VedioBoxDrawer::setIpAddr(const QString& ipAddr)
{
    m_ipAddr = ipAddr;
    refreshTitle();
}

// The tiles keep the plain title: their remote-desktop window is titled with it.
void VedioBoxDrawer::refreshTitle()
{
    const QString title = QStringLiteral("%1  %2").arg(m_nickName, m_ipAddr);
    m_pTitleRow->setText(m_bOffline ? QStringLiteral("%1  （离线）").arg(title) : title);
    for (AVedioBox* b : qAsConst(m_byIdx))
        b->setPcAddress(m_ipAddr, title);
}

AVedioBox* VedioBoxDrawer::addBox(const QString& memuIdx, const QString& simuName)
{
    struVedioBoxInfo info;
    info.strPcName = m_pcName;
    info.strSimuName = simuName;
    info.strIpAddr = m_ipAddr;
    info.strMemuIdx = memuIdx;
    info.strPcNickName = QStringLiteral("%1  %2").arg(m_nickName, m_ipAddr);
    auto* box = new AVedioBox(info, body());
    box->setOffline(m_bOffline);
    m_pFlow->addWidget(box);
    m_boxes.append(box);
    m_byIdx.insert(memuIdx, box);
    connect(box, &AVedioBox::sigRemoteDesktopRequested, this, &VedioBoxDrawer::sigRemoteDesktopRequested);
    connect(box, &AVedioBox::sigMenuRequested, this, &VedioBoxDrawer::sigCellMenuRequested);
    connect(box, &AVedioBox::sigSetBoxCheck, this, [this, memuIdx](const QString&, AVedioBox*, bool on) {
        emit sigBoxCheckChanged(m_pcName, memuIdx, on);
    });
    return box;
}

void VedioBoxDrawer::removeBox(const QString& memuIdx)
{
    AVedioBox* box = m_byIdx.take(memuIdx);
    if (!box)
        return;
    m_boxes.RemoveOneCell(box);
    m_pFlow->removeWidget(box);
    box->deleteLater();
}

void VedioBoxDrawer::setAllOffline()
{
    m_bOffline = true;
    for (AVedioBox* box : qAsConst(m_byIdx))
        box->setOffline(true);
    refreshTitle();
}

void VedioBoxDrawer::setOnline()
{
    if (!m_bOffline)
        return;
    m_bOffline = false;
    for (AVedioBox* box : qAsConst(m_byIdx))
        box->setOffline(false);
    refreshTitle();
}

void VedioBoxDrawer::slChangeStateWithParam(QByteArray aryJson)
{
    QString pcName, memuIdx;
    int iState = 0, iTime = 0, iDaemonModel = 0;
    if (!JsonCodec::parseSimuState(aryJson, pcName, memuIdx, iState, iTime, iDaemonModel).ok() ||
        pcName != m_pcName)
        return;
    if (AVedioBox* b = box(memuIdx))
        b->setState(iState, iTime);
}

void VedioBoxDrawer::slChangeStateByIndex(QString strMemuIdx, int iState)
{
    if (AVedioBox* b = box(strMemuIdx))
        b->setState(iState, -1);
}

void VedioBoxDrawer::slNewSimuImgArrived(QString strMemuIdx, QImage* pImage)
{
    if (AVedioBox* b = box(strMemuIdx); b && pImage)
        b->setImage(*pImage);
    delete pImage;
}

void VedioBoxDrawer::slBeginInstall(QString strMemuIdx)
{
    if (AVedioBox* b = box(strMemuIdx))
        b->slBeginInstall();
}

void VedioBoxDrawer::slUpdateSimusInstallProgress(QString strMemuIdx, int iProgress)
{
    if (AVedioBox* b = box(strMemuIdx))
        b->slSetProgress(iProgress);
}

void VedioBoxDrawer::slInstallFinished(QString strMemuIdx)
{
    if (AVedioBox* b = box(strMemuIdx))
        b->slInstallFinished();
}

void VedioBoxDrawer::setRemoteDesktopDlg(QWidget* pDlg)
{
    m_pRemoteDesktopDlg = pDlg;
}

void VedioBoxDrawer::slReleaseRemoteDesktopDlg()
{
    if (m_pRemoteDesktopDlg)
        m_pRemoteDesktopDlg->deleteLater();
    m_pRemoteDesktopDlg = nullptr;
}

VedioBoxGrpDrawer::VedioBoxGrpDrawer(QWidget* parent) : AbsGrpDrawer(parent) {}

void VedioBoxGrpDrawer::setText(const QString& text)
{
    m_text = text;
    update();
}

QRect VedioBoxGrpDrawer::textRect() const
{
    return QRect((width() + 1) / 2 - 100, (height() + 1) / 2 - 20, 200, 40);
}

void VedioBoxGrpDrawer::addPc(VedioBoxDrawer* pDrawer)
{
    m_pcs.insert(pDrawer->pcName(), pDrawer);
    m_order.append(pDrawer);
    AddNewDrawer(pDrawer);
}

void VedioBoxGrpDrawer::setGroupOrder(const QStringList& groups)
{
    m_groupOrder = groups;
    relayByGroup();
}

void VedioBoxGrpDrawer::placePc(const QString& pcName, const QString& grpName)
{
    m_groupOfPc.insert(pcName, grpName);
    relayByGroup();
}

void VedioBoxGrpDrawer::slDeleteGroup(QString strGrpDelete, QString strGrpTo)
{
    for (auto it = m_groupOfPc.begin(); it != m_groupOfPc.end(); ++it) {
        if (it.value() == strGrpDelete)
            it.value() = strGrpTo;
    }
    m_groupOrder.removeAll(strGrpDelete);
    relayByGroup();
}

void VedioBoxGrpDrawer::slMoveDevToNewGrp(QVector<QString> vstrDevCodes, QString strGrpFrom, QString strGrpTo)
{
    Q_UNUSED(strGrpFrom);
    for (const QString& pc : vstrDevCodes)
        m_groupOfPc.insert(pc, strGrpTo);
    if (!m_groupOrder.contains(strGrpTo))
        m_groupOrder.append(strGrpTo);
    relayByGroup();
}

void VedioBoxGrpDrawer::relayByGroup()
{
    QList<VedioBoxDrawer*> sorted = m_order;
    const auto rank = [this](VedioBoxDrawer* d) {
        const int at = m_groupOrder.indexOf(m_groupOfPc.value(d->pcName()));
        return at < 0 ? m_groupOrder.size() : at;
    };
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&rank](VedioBoxDrawer* a, VedioBoxDrawer* b) { return rank(a) < rank(b); });
    SetDrawerOrder(QList<AbsDrawer*>(sorted.begin(), sorted.end()));
}

void VedioBoxGrpDrawer::paintEvent(QPaintEvent* event)
{
    AbsGrpDrawer::paintEvent(event);
    if (m_text.isEmpty())
        return;
    QPainter p(this);
    QFont font(QStringLiteral("微软邪黑"), 12);
    p.setFont(font);
    p.setPen(QColor(0x66, 0x66, 0x66));
    p.drawText(textRect(), Qt::AlignCenter, m_text);
}
