#pragma once

#include "absdrawer.h"
#include "agentregistry.h"
#include "commresult.h"
#include "consoletypes.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QPointer>

class QFlowLayout;
class QLabel;
class QProgressBar;

// One emulator tile, 130 x 200: the latest screenshot of the emulator (or the picture of its state),
// its name, a check mark and an install progress bar. A screenshot arrives as JPEG bytes and stays
// compressed: it is decoded when the tile is painted, into the bounded ThumbnailCache, so tiles
// scrolled out of sight cost their compressed bytes only.
class AVedioBox : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 130;
    static constexpr int kHeight = 200;
    static constexpr int kPictureHeight = 170;

    explicit AVedioBox(const struVedioBoxInfo& info, QWidget* parent = nullptr);

    const struVedioBoxInfo& info() const { return m_info; }
    QString name() const;
    void setName(const QString& name);
    // The PC's address and the title of its drawer, as the remote desktop of this tile takes them.
    void setPcAddress(const QString& ipAddr, const QString& title);
    int state() const;
    int stateTime() const;
    bool isChecked() const { return m_bChecked; }
    void setChecked(bool bChecked);
    bool isProgressVisible() const;
    int progress() const;

    // The newer-time rule: applies when iTime is later than the stored time or is -1. State 2 shows
    // the starting picture, -1 the default picture; other states keep the current picture. Any state
    // applied other than installing ends a shown install progress (its result may never come).
    bool setState(int iState, int iTime);
    // Shows the emulator as the registry holds it: state, name and screenshot, no rule of its own
    // (the registry applied it). A tile out of sight is not repainted: it shows the latest when it
    // is scrolled into view.
    void showRow(const struSimuRow& row, bool bRepaint = true);
    // A new screenshot, still encoded / already decoded (kept losslessly compressed), for a tile
    // that stands alone.
    void setJpeg(const QByteArray& jpeg, bool bRepaint = true);
    void setImage(const QImage& image);
    // The picture the tile shows now (its screenshot decoded, when the cache no longer has it).
    QImage currentPicture();
    // True while the tile shows a screenshot of the emulator rather than a picture of its state.
    bool hasScreenshot() const;
    // An offline PC's tile shows the offline picture over whatever it had, until its PC is heard
    // again; its state stays as the reports set it.
    void setOffline(bool bOffline);
    bool isOffline() const { return m_bOffline; }
    qint64 decodeCount() const { return m_decodes; }

    QSize sizeHint() const override { return QSize(kWidth, kHeight); }

signals:
    void sigSetVedioBoxUsbInfo(QString strUsbSerial, QString strCode);
    void sigSetBoxCheck(QString strName, AVedioBox* pBox, bool bCheck);
    void sigUpdate();
    void sigBkgDoubleClicked();
    void sigBkgClicked();

public slots:
    void btnBkgClicked();
    void btnBkgDoublieClked();
    void slUpdate();
    void slBeginInstall();
    void slSetProgress(int iProgress);
    void slInstallFinished();
    void slReplyResult(CCommResult* pRet);

signals:
    void sigRemoteDesktopRequested(struVedioBoxInfo info);
    // A right click on the tile: the device list opens its emulator menu there.
    void sigMenuRequested(QPoint globalPos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    static const QImage& stockPicture(const QString& path);

    struVedioBoxInfo m_info;
    void setPicture(const QByteArray& bytes, bool bPng);

    mutable QMutex m_picLock;
    QImage m_picture;  // the picture of the tile's state, shown while it has no screenshot
    QByteArray m_shot; // the screenshot, compressed (empty: none)
    bool m_bShotPng = false;
    quint64 m_shotKey = 0;    // its key in the ThumbnailCache
    quint64 m_shotSerial = 0; // the registry's serial of the screenshot shown
    QImage m_offline;
    QImage m_default;
    mutable QMutex m_stateLock;
    int m_iState = -1;
    int m_iTime = -1;
    bool m_bChecked = false;
    bool m_bOffline = false;
    qint64 m_decodes = 0;
    QProgressBar* m_pProgress = nullptr;
};

// The tiles of one drawer, in order, behind a lock.
class AVedioBoxList
{
public:
    void append(AVedioBox* pBox);
    int size() const;
    AVedioBox* at(int pos) const;
    // Position of the tile whose name matches regardless of letter case, or -1.
    int FindBoxByName(const QString& name) const;
    // The tile's position on screen (its top-left in global coordinates).
    QPoint GetBoxPosByIndexAt(int pos) const;
    void SetCheckedAt(int pos, bool bChecked);
    void RemoveOneCell(AVedioBox* pBox);

private:
    mutable QMutex m_lock;
    QList<AVedioBox*> m_boxes;
};

// Title row of a tile drawer: the PC's nick name and address.
class VedioBoxDrawerTitle : public AbsDrawerTitle
{
    Q_OBJECT
public:
    explicit VedioBoxDrawerTitle(const QString& text, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;
    void setOpened(bool bOpened) override;

private:
    QLabel* m_pText = nullptr;
    QLabel* m_pArrow = nullptr;
};

// The tiles of one agent PC in a flow layout. Holds at most one remote-desktop window.
class VedioBoxDrawer : public AbsDrawer
{
    Q_OBJECT
public:
    VedioBoxDrawer(const QString& pcName, const QString& nickName, const QString& ipAddr,
                   QWidget* parent = nullptr);

    QString pcName() const { return m_pcName; }
    VedioBoxDrawerTitle* titleRow() const { return m_pTitleRow; }
    void setNickName(const QString& nick);
    // The PC answers at another address now: the title and every tile take it.
    void setIpAddr(const QString& ipAddr);
    QString ipAddr() const { return m_ipAddr; }
    AVedioBox* box(const QString& memuIdx) const { return m_byIdx.value(memuIdx); }
    AVedioBoxList& boxList() { return m_boxes; }
    int boxCount() const { return m_byIdx.size(); }
    AVedioBox* addBox(const QString& memuIdx, const QString& simuName);
    void removeBox(const QString& memuIdx);
    // Offline: every tile under the offline picture (their states are the registry's), and the title
    // says so. Online again: the tiles show their pictures again.
    void setAllOffline();
    void setOnline();
    bool isPcOffline() const { return m_bOffline; }

    // The remote-desktop window the drawer holds (made by the remote-desktop code).
    void setRemoteDesktopDlg(QWidget* pDlg);
    QWidget* remoteDesktopDlg() const { return m_pRemoteDesktopDlg; }

signals:
    void sigRemoteDesktopRequested(struVedioBoxInfo info);
    void sigBoxCheckChanged(QString pcName, QString memuIdx, bool bChecked);
    // A tile asks for the emulator menu at this global position.
    void sigCellMenuRequested(QPoint globalPos);

public slots:
    void slChangeStateWithParam(QByteArray aryJson);
    void slChangeStateByIndex(QString strMemuIdx, int iState);
    // A picture from the PC's command client; the slot frees it.
    void slNewSimuImgArrived(QString strMemuIdx, QImage* pImage);
    void slBeginInstall(QString strMemuIdx);
    void slUpdateSimusInstallProgress(QString strMemuIdx, int iProgress);
    void slInstallFinished(QString strMemuIdx);
    void slReleaseRemoteDesktopDlg();

private:
    void refreshTitle();

    QString m_pcName;
    QString m_nickName;
    QString m_ipAddr;
    bool m_bOffline = false;
    VedioBoxDrawerTitle* m_pTitleRow = nullptr;
    QFlowLayout* m_pFlow = nullptr;
    AVedioBoxList m_boxes;
    QHash<QString, AVedioBox*> m_byIdx;
    QPointer<QWidget> m_pRemoteDesktopDlg;
};

// The right tile area. While its text is set it paints it in the middle ("当前局域网内无可连接设备").
class VedioBoxGrpDrawer : public AbsGrpDrawer
{
    Q_OBJECT
public:
    explicit VedioBoxGrpDrawer(QWidget* parent = nullptr);

    static QString emptyText() { return QStringLiteral("当前局域网内无可连接设备"); }
    void setText(const QString& text);
    QString text() const { return m_text; }
    // Where the text is painted: a 200 x 40 box centred in the area.
    QRect textRect() const;
    VedioBoxDrawer* findPc(const QString& pcName) const { return m_pcs.value(pcName); }
    QList<VedioBoxDrawer*> pcDrawers() const { return m_order; }
    void addPc(VedioBoxDrawer* pDrawer);

    // The PCs' drawers follow the device list's groups: group by group in this order, in the order
    // the PCs were first heard within a group. A PC of no known group is shown last.
    void setGroupOrder(const QStringList& groups);
    void placePc(const QString& pcName, const QString& grpName);

public slots:
    // Confirmed group edits of the device list.
    void slDeleteGroup(QString strGrpDelete, QString strGrpTo);
    void slMoveDevToNewGrp(QVector<QString> vstrDevCodes, QString strGrpFrom, QString strGrpTo);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void relayByGroup();

    QString m_text;
    QHash<QString, VedioBoxDrawer*> m_pcs;
    QList<VedioBoxDrawer*> m_order;
    QStringList m_groupOrder;
    QHash<QString, QString> m_groupOfPc;
};
