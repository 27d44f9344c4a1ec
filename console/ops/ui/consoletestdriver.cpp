#include "consoletestdriver.h"

#include "agentregistry.h"
#include "centertoolmainwnd.h"
#include "devgroupmenu.h"
#include "devicefilter.h"
#include "groupcontrolservice.h"
#include "groupcontrolwnd.h"
#include "groupscreen.h"
#include "mygrpdrawer.h"
#include "remotedesktopwnd.h"
#include "vedioboxdrawer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDebug>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

namespace {

constexpr int kMaxLine = 4096;

QJsonObject ok(QJsonObject o = QJsonObject())
{
    o.insert(QStringLiteral("ok"), true);
    return o;
}

QString groupName(const MyGrpDrawer* pList, const QString& pcName)
{
    const MyDrawerUI* pGroup = pList->groupOfPc(pcName);
    return pGroup ? pGroup->grpName() : QString();
}

QJsonObject fail(const QString& error)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

// The text after the first `count` words of a line (a path or a name may hold spaces).
QString restOf(const QString& line, int count)
{
    QString rest = line.trimmed();
    for (int i = 0; i < count; ++i) {
        const int space = rest.indexOf(QLatin1Char(' '));
        rest = space < 0 ? QString() : rest.mid(space + 1).trimmed();
    }
    return rest;
}

bool isDeferred(const QString& cmd)
{
    return cmd == QLatin1String("menu") || cmd == QLatin1String("group") || cmd == QLatin1String("pcmenu") ||
           cmd == QLatin1String("groupmenu") || cmd == QLatin1String("tilemenu");
}

QJsonObject rectOf(const QWidget* pWidget)
{
    const QPoint at = pWidget->mapToGlobal(QPoint(0, 0));
    return QJsonObject{{QStringLiteral("x"), at.x()},
                       {QStringLiteral("y"), at.y()},
                       {QStringLiteral("width"), pWidget->width()},
                       {QStringLiteral("height"), pWidget->height()}};
}

QString iconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Information:
        return QStringLiteral("information");
    case QMessageBox::Warning:
        return QStringLiteral("warning");
    case QMessageBox::Critical:
        return QStringLiteral("critical");
    case QMessageBox::Question:
        return QStringLiteral("question");
    default:
        return QStringLiteral("none");
    }
}

// The buttons a dialog offers with their roles: a message box's own, else those of its button boxes.
QList<QPair<QAbstractButton*, QDialogButtonBox::ButtonRole>> buttonsOf(QWidget* pDialog)
{
    QList<QPair<QAbstractButton*, QDialogButtonBox::ButtonRole>> all;
    if (auto* pBox = qobject_cast<QMessageBox*>(pDialog)) {
        for (QAbstractButton* b : pBox->buttons())
            all.append({b, QDialogButtonBox::ButtonRole(pBox->buttonRole(b))});
        return all;
    }
    for (QDialogButtonBox* pButtons : pDialog->findChildren<QDialogButtonBox*>()) {
        for (QAbstractButton* b : pButtons->buttons()) {
            if (!b->isHidden())
                all.append({b, pButtons->buttonRole(b)});
        }
    }
    return all;
}

QAbstractButton* buttonWithRole(QWidget* pDialog, bool bAccept)
{
    for (const auto& [pButton, role] : buttonsOf(pDialog)) {
        const bool accepts = role == QDialogButtonBox::AcceptRole || role == QDialogButtonBox::YesRole;
        const bool rejects = role == QDialogButtonBox::RejectRole || role == QDialogButtonBox::NoRole;
        if (bAccept ? accepts : rejects)
            return pButton;
    }
    return nullptr;
}

QJsonArray visibleLabels(QWidget* pDialog)
{
    QJsonArray texts;
    for (QLabel* pLabel : pDialog->findChildren<QLabel*>()) {
        if (!pLabel->isHidden() && !pLabel->text().isEmpty())
            texts.append(pLabel->text());
    }
    return texts;
}

// The path typed into the dialog's file name field, as a user does (selectFile leaves a field that
// has the focus alone).
void typeFileName(QFileDialog* pFiles, const QString& path)
{
    if (auto* pEdit = pFiles->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        pEdit->setText(path);
    else
        pFiles->selectFile(path);
}

QJsonObject geometryOf(const QWidget* pWidget)
{
    return QJsonObject{{QStringLiteral("x"), pWidget->x()},
                       {QStringLiteral("y"), pWidget->y()},
                       {QStringLiteral("width"), pWidget->width()},
                       {QStringLiteral("height"), pWidget->height()},
                       {QStringLiteral("frameWidth"), pWidget->frameGeometry().width()},
                       {QStringLiteral("frameHeight"), pWidget->frameGeometry().height()}};
}

} // namespace

QString QueuedOpsDialogs::chooseFile(const QString& title)
{
    QMutexLocker lock(&m_lock);
    if (m_files.isEmpty()) {
        lock.unlock();
        return m_real.chooseFile(title);
    }
    const QString path = m_files.takeFirst();
    qInfo().noquote() << "test driver: file question" << title << "answered" << path;
    return path;
}

bool QueuedOpsDialogs::confirm(const QString& title, const QString& text)
{
    QMutexLocker lock(&m_lock);
    if (m_confirms.isEmpty()) {
        lock.unlock();
        return m_real.confirm(title, text);
    }
    const bool yes = m_confirms.takeFirst();
    qInfo().noquote() << "test driver: question" << title << text << "answered" << yes;
    return yes;
}

bool QueuedOpsDialogs::askText(const QString& title, const QString& label, QString& text)
{
    QMutexLocker lock(&m_lock);
    if (m_texts.isEmpty()) {
        lock.unlock();
        return m_real.askText(title, label, text);
    }
    text = m_texts.takeFirst();
    qInfo().noquote() << "test driver: text question" << title << label << "answered" << text;
    return true;
}

bool QueuedOpsDialogs::askNumber(const QString& title, const QString& label, int& value, int iMin, int iMax)
{
    QMutexLocker lock(&m_lock);
    if (m_numbers.isEmpty()) {
        lock.unlock();
        return m_real.askNumber(title, label, value, iMin, iMax);
    }
    value = qBound(iMin, m_numbers.takeFirst(), iMax); // as the spin box takes it
    qInfo().noquote() << "test driver: number question" << title << label << "answered" << value;
    return true;
}

void QueuedOpsDialogs::queueNumber(int value)
{
    QMutexLocker lock(&m_lock);
    m_numbers.append(value);
}

void QueuedOpsDialogs::showResult(const CCommResult& result)
{
    m_real.showResult(result);
}

void QueuedOpsDialogs::queueFile(const QString& path)
{
    QMutexLocker lock(&m_lock);
    m_files.append(path);
}

void QueuedOpsDialogs::queueText(const QString& text, bool bNext)
{
    QMutexLocker lock(&m_lock);
    if (bNext)
        m_texts.prepend(text);
    else
        m_texts.append(text);
}

void QueuedOpsDialogs::queueConfirm(bool yes)
{
    QMutexLocker lock(&m_lock);
    m_confirms.append(yes);
}

void QueuedOpsDialogs::addShown(const QString& title, const QString& text)
{
    qInfo().noquote() << "result shown:" << title << text;
    QMutexLocker lock(&m_lock);
    m_shown.append(QJsonObject{{QStringLiteral("title"), title}, {QStringLiteral("text"), text}});
}

QJsonArray QueuedOpsDialogs::shown() const
{
    QMutexLocker lock(&m_lock);
    QJsonArray all;
    for (const QJsonObject& o : m_shown)
        all.append(o);
    return all;
}

ConsoleTestDriver::ConsoleTestDriver(CenterToolMainWnd& wnd)
    : QObject(&wnd), m_wnd(wnd), m_pDialogs(std::make_shared<QueuedOpsDialogs>(&wnd)),
      m_previousBox(currentResultBox())
{
    // The window's result boxes are kept for the dump and shown as they would be without the driver.
    std::weak_ptr<QueuedOpsDialogs> dialogs = m_pDialogs;
    ResultBoxFn show = m_previousBox;
    setResultBox([dialogs, show](const QString& title, const QString& text, bool twoButtons) {
        if (auto p = dialogs.lock())
            p->addShown(title, text);
        return show(title, text, twoButtons);
    });
    qApp->installEventFilter(this);
}

ConsoleTestDriver::~ConsoleTestDriver()
{
    setResultBox(m_previousBox);
}

QWidget* ConsoleTestDriver::openDialog() const
{
    // Dialogs only: the remote-desktop viewer is a window of its own, not a question.
    auto* pModal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    return pModal && pModal != &m_wnd && pModal->isVisible() ? pModal : nullptr;
}

// A dialog that opens while a menu or group command runs answers that command.
bool ConsoleTestDriver::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pEvent->type() == QEvent::Show && m_pPending && pWatched != &m_wnd) {
        auto* pDialog = qobject_cast<QDialog*>(pWatched);
        if (pDialog && pDialog->isWindow() && pDialog->isModal())
            replyPending(ok(QJsonObject{{QStringLiteral("dialog"), describeDialog(pDialog)}}));
    }
    return QObject::eventFilter(pWatched, pEvent);
}

QJsonObject ConsoleTestDriver::describeDialog(QWidget* pDialog)
{
    QJsonObject o{{QStringLiteral("kind"), QStringLiteral("dialog")},
                  {QStringLiteral("title"), pDialog->windowTitle()}};
    QJsonArray buttons;
    for (const auto& entry : buttonsOf(pDialog))
        buttons.append(entry.first->text());
    o.insert(QStringLiteral("buttons"), buttons);
    if (auto* pBox = qobject_cast<QMessageBox*>(pDialog)) {
        o.insert(QStringLiteral("kind"), QStringLiteral("box"));
        o.insert(QStringLiteral("text"), pBox->text());
        o.insert(QStringLiteral("icon"), iconName(pBox->icon()));
    } else if (auto* pInput = qobject_cast<QInputDialog*>(pDialog)) {
        const bool isNumber = pInput->inputMode() == QInputDialog::IntInput;
        o.insert(QStringLiteral("kind"), isNumber ? QStringLiteral("number") : QStringLiteral("text"));
        o.insert(QStringLiteral("label"), pInput->labelText());
        if (isNumber) {
            o.insert(QStringLiteral("value"), pInput->intValue());
            o.insert(QStringLiteral("minimum"), pInput->intMinimum());
            o.insert(QStringLiteral("maximum"), pInput->intMaximum());
        } else {
            o.insert(QStringLiteral("value"), pInput->textValue());
        }
    } else if (auto* pFiles = qobject_cast<QFileDialog*>(pDialog)) {
        o.insert(QStringLiteral("kind"), QStringLiteral("file"));
        o.insert(QStringLiteral("directory"), pFiles->directory().absolutePath());
        o.insert(QStringLiteral("nameFilters"), QJsonArray::fromStringList(pFiles->nameFilters()));
        o.insert(QStringLiteral("selectedNameFilter"), pFiles->selectedNameFilter());
        o.insert(QStringLiteral("labels"), visibleLabels(pDialog));
    }
    return o;
}

bool ConsoleTestDriver::listen(const QString& path, QString& error)
{
    QLocalServer::removeServer(path);
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(path)) {
        error = QStringLiteral("test driver cannot listen at %1: %2").arg(path, m_pServer->errorString());
        return false;
    }
    if (!connect(m_pServer, &QLocalServer::newConnection, this, &ConsoleTestDriver::slNewConnection))
        qWarning("connect QLocalServer::newConnection ConsoleTestDriver::slNewConnection err");
    qInfo().noquote() << "test driver listening at" << path;
    return true;
}

void ConsoleTestDriver::slNewConnection()
{
    while (QLocalSocket* pSocket = m_pServer->nextPendingConnection()) {
        connect(pSocket, &QLocalSocket::readyRead, this, &ConsoleTestDriver::slReadyRead);
        connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
    }
}

void ConsoleTestDriver::slReadyRead()
{
    auto* pSocket = qobject_cast<QLocalSocket*>(sender());
    if (!pSocket)
        return;
    while (pSocket->canReadLine()) {
        const QString line = QString::fromUtf8(pSocket->readLine(kMaxLine)).trimmed();
        if (isDeferred(line.section(QLatin1Char(' '), 0, 0)))
            runDeferred(pSocket, line);
        else
            pSocket->write(QJsonDocument(run(line)).toJson(QJsonDocument::Compact) + '\n');
    }
    if (pSocket->bytesAvailable() > kMaxLine) {
        pSocket->write(QJsonDocument(fail(QStringLiteral("line too long"))).toJson(QJsonDocument::Compact) +
                       '\n');
        pSocket->disconnectFromServer();
    }
}

// A command that may open a dialog runs after this read returns, so that the socket is served again
// (an "answer" for the dialog) while the dialog's own event loop runs.
void ConsoleTestDriver::runDeferred(QLocalSocket* pSocket, const QString& line)
{
    if (m_pPending) {
        pSocket->write(QJsonDocument(fail(QStringLiteral("another menu or group command is running")))
                           .toJson(QJsonDocument::Compact) +
                       '\n');
        return;
    }
    m_pPending = pSocket;
    QTimer::singleShot(0, this, [this, line] { replyPending(run(line)); });
}

void ConsoleTestDriver::replyPending(const QJsonObject& answer)
{
    if (!m_pPending)
        return;
    m_pPending->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    m_pPending->flush();
    m_pPending = nullptr;
}

QJsonObject ConsoleTestDriver::run(const QString& line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString cmd = words.value(0);
    if (cmd == QLatin1String("dump"))
        return dump();
    qInfo().noquote() << "test driver:" << line;
    if (cmd == QLatin1String("answer"))
        return answer(words, line);
    if (QWidget* pDialog = openDialog())
        return fail(QStringLiteral("the dialog \"%1\" is open: answer it first").arg(pDialog->windowTitle()));
    if (cmd == QLatin1String("tick"))
        return tick(words);
    if (cmd == QLatin1String("untick"))
        return untick();
    if (cmd == QLatin1String("menu"))
        return menu(words);
    if (cmd == QLatin1String("rdp"))
        return rdp(words);
    if (cmd == QLatin1String("click"))
        return click(words);
    if (cmd == QLatin1String("closerdp"))
        return closeRdp();
    if (cmd == QLatin1String("closegroup"))
        return closeGroup();
    if (cmd == QLatin1String("rdpretry"))
        return retryRdp();
    if (cmd == QLatin1String("group"))
        return group(words, line);
    if (cmd == QLatin1String("pcmenu") || cmd == QLatin1String("groupmenu"))
        return titleMenu(words, line);
    if (cmd == QLatin1String("tilemenu"))
        return tileMenu(words, line);
    if (cmd == QLatin1String("filter"))
        return filter(line);
    return fail(QStringLiteral("unknown command '%1'").arg(cmd));
}

QString ConsoleTestDriver::pcKey(const QString& nameOrNick) const
{
    for (const struPcEntry& pc : m_wnd.registry()->snapshot()) {
        if (pc.pcName == nameOrNick || pc.nickName == nameOrNick)
            return pc.pcName;
    }
    return QString();
}

QJsonObject ConsoleTestDriver::dump() const
{
    QJsonArray pcs;
    for (const struPcEntry& pc : m_wnd.registry()->snapshot()) {
        MyDrawerEx* pEntry = m_wnd.leftGrpDrawer()->findPc(pc.pcName);
        VedioBoxDrawer* pTiles = m_wnd.rightGrpDrawer()->findPc(pc.pcName);
        QJsonArray rows;
        for (const struSimuRow& r : pc.rows) {
            QJsonObject row{{QStringLiteral("idx"), r.memuIdx},
                            {QStringLiteral("name"), r.simuName},
                            {QStringLiteral("state"), r.iState},
                            {QStringLiteral("time"), r.iTime},
                            {QStringLiteral("checked"), r.bChecked}};
            if (MyDrawerCell* c = pEntry ? pEntry->cell(r.memuIdx) : nullptr) {
                row.insert(QStringLiteral("stateText"), c->stateText());
                row.insert(QStringLiteral("greyed"), c->isGreyed());
                row.insert(QStringLiteral("hidden"), c->isHidden());
            }
            if (AVedioBox* b = pTiles ? pTiles->box(r.memuIdx) : nullptr) {
                row.insert(QStringLiteral("screenshot"), b->hasScreenshot());
                row.insert(QStringLiteral("progress"), b->isProgressVisible() ? b->progress() : -1);
                row.insert(QStringLiteral("tileOffline"), b->isOffline());
                row.insert(QStringLiteral("tileHidden"), !b->isVisibleTo(m_wnd.rightGrpDrawer()));
                row.insert(QStringLiteral("tileRect"), rectOf(b));
            }
            rows.append(row);
        }
        pcs.append(
            QJsonObject{{QStringLiteral("pc"), pc.pcName},
                        {QStringLiteral("nick"), pc.nickName},
                        {QStringLiteral("ip"), pc.ipAddr},
                        {QStringLiteral("simuType"), pc.iSimuType},
                        {QStringLiteral("online"), pc.onlineLabel},
                        {QStringLiteral("group"), groupName(m_wnd.leftGrpDrawer(), pc.pcName)},
                        {QStringLiteral("tip"), pEntry ? pEntry->titleCell()->rowToolTip() : QString()},
                        {QStringLiteral("shownOffline"), pEntry && pEntry->isShownOffline()},
                        {QStringLiteral("hidden"), pEntry && pEntry->isHidden()},
                        {QStringLiteral("tilesTitle"), pTiles ? pTiles->titleRow()->text() : QString()},
                        {QStringLiteral("rows"), rows}});
    }
    QJsonArray groups;
    for (MyDrawerUI* g : m_wnd.leftGrpDrawer()->groups())
        groups.append(g->grpName());
    QJsonObject out{{QStringLiteral("pcs"), pcs},
                    {QStringLiteral("groups"), groups},
                    {QStringLiteral("results"), m_pDialogs->shown()},
                    {QStringLiteral("window"), geometryOf(&m_wnd)},
                    {QStringLiteral("filter"), m_wnd.deviceFilter()->text()}};
    if (QWidget* pDialog = openDialog())
        out.insert(QStringLiteral("dialog"), describeDialog(pDialog));
    if (GroupControlWnd* pGroup = groupWnd())
        out.insert(QStringLiteral("groupControl"), describeGroup(pGroup));
    if (RemoteDesktopWnd* pViewer = viewer()) {
        out.insert(
            QStringLiteral("viewer"),
            QJsonObject{{QStringLiteral("addr"), pViewer->target().strAddr},
                        {QStringLiteral("port"), pViewer->target().iPort},
                        {QStringLiteral("visible"), pViewer->isVisible()},
                        {QStringLiteral("width"), pViewer->width()},
                        {QStringLiteral("height"), pViewer->height()},
                        {QStringLiteral("pictureWidth"), pViewer->picture().width()},
                        {QStringLiteral("pictureHeight"), pViewer->picture().height()},
                        {QStringLiteral("live"), pViewer->viewState() == RemoteDesktopWnd::ViewState::Live},
                        {QStringLiteral("message"), pViewer->messageText()},
                        {QStringLiteral("runId"), pViewer->target().strRunId}});
    }
    return ok(out);
}

QJsonObject ConsoleTestDriver::tick(const QStringList& words)
{
    const QString key = pcKey(words.value(1));
    MyDrawerEx* pEntry = m_wnd.leftGrpDrawer()->findPc(key);
    if (!pEntry || words.size() < 3)
        return fail(QStringLiteral("usage: tick PC IDX... (PC '%1' not listed)").arg(words.value(1)));
    for (const QString& idx : words.mid(2)) {
        MyDrawerCell* c = pEntry->cell(idx);
        if (!c)
            return fail(QStringLiteral("%1 has no emulator %2").arg(key, idx));
        c->checkBox()->setChecked(true);
    }
    return ok();
}

QJsonObject ConsoleTestDriver::untick()
{
    for (MyDrawerEx* pEntry : m_wnd.leftGrpDrawer()->pcDrawers()) {
        for (MyDrawerCell* c : pEntry->cells())
            c->checkBox()->setChecked(false);
    }
    return ok();
}

QJsonObject ConsoleTestDriver::menu(const QStringList& words)
{
    bool isNumber = false;
    const int index = words.value(1).toInt(&isNumber);
    if (!isNumber)
        return fail(QStringLiteral("usage: menu N"));
    m_wnd.slDrawerCellMenuTriggered(index);
    return ok();
}

QJsonObject ConsoleTestDriver::answer(const QStringList& words, const QString& line)
{
    const QString kind = words.value(1);
    const bool withValue =
        kind == QLatin1String("file") || kind == QLatin1String("name") || kind == QLatin1String("number");
    const bool bare = kind == QLatin1String("confirm") || kind == QLatin1String("cancel");
    if ((withValue && words.size() < 3) || (!withValue && !bare))
        return fail(QStringLiteral("usage: answer file PATH | answer name TEXT | answer number N | answer "
                                   "confirm [no] | answer cancel"));
    const QString value = withValue ? restOf(line, 2) : words.value(2);
    if (kind == QLatin1String("file") && !QFile::exists(value))
        return fail(QStringLiteral("no file %1").arg(value));
    bool isNumber = false;
    const int number = value.toInt(&isNumber);
    if (kind == QLatin1String("number") && !isNumber)
        return fail(QStringLiteral("not a number: %1").arg(value));
    if (QWidget* pDialog = openDialog())
        return answerOpen(pDialog, kind, value);
    if (kind == QLatin1String("file"))
        m_pDialogs->queueFile(value);
    else if (kind == QLatin1String("name"))
        m_pDialogs->queueText(value);
    else if (kind == QLatin1String("number"))
        m_pDialogs->queueNumber(number);
    else if (kind == QLatin1String("confirm"))
        m_pDialogs->queueConfirm(value != QLatin1String("no"));
    else
        return fail(QStringLiteral("no dialog is open to cancel"));
    return ok();
}

// Answers the open dialog as a user does: the value put in, then its button pressed.
QJsonObject ConsoleTestDriver::answerOpen(QWidget* pDialog, const QString& kind, const QString& value)
{
    auto* pFiles = qobject_cast<QFileDialog*>(pDialog);
    auto* pInput = qobject_cast<QInputDialog*>(pDialog);
    const bool isBox = qobject_cast<QMessageBox*>(pDialog) != nullptr;
    bool bAccept = true;
    if (kind == QLatin1String("file") && pFiles)
        typeFileName(pFiles, value);
    else if (kind == QLatin1String("name") && pInput && pInput->inputMode() == QInputDialog::TextInput)
        pInput->setTextValue(value);
    else if (kind == QLatin1String("number") && pInput && pInput->inputMode() == QInputDialog::IntInput)
        pInput->setIntValue(value.toInt());
    else if (kind == QLatin1String("confirm") && isBox)
        bAccept = value != QLatin1String("no");
    else if (kind == QLatin1String("cancel"))
        bAccept = false;
    else
        return fail(QStringLiteral("the open dialog \"%1\" is a %2 dialog, not one for '%3'")
                        .arg(pDialog->windowTitle(), describeDialog(pDialog).value("kind").toString(), kind));
    QAbstractButton* pButton = buttonWithRole(pDialog, bAccept);
    if (!pButton && !bAccept && !isBox) {
        if (auto* p = qobject_cast<QDialog*>(pDialog))
            p->reject(); // as the Esc key does
        else
            pDialog->close();
        return ok();
    }
    if (!pButton || !pButton->isEnabled())
        return fail(QStringLiteral("the dialog \"%1\" has no usable button for '%2'")
                        .arg(pDialog->windowTitle(), kind));
    pButton->click();
    if (pDialog->isVisible())
        return fail(QStringLiteral("the dialog \"%1\" did not take the answer").arg(pDialog->windowTitle()));
    return ok();
}

QJsonObject ConsoleTestDriver::rdp(const QStringList& words)
{
    VedioBoxDrawer* pTiles = m_wnd.rightGrpDrawer()->findPc(pcKey(words.value(1)));
    if (!pTiles || pTiles->boxCount() == 0)
        return fail(QStringLiteral("no tiles of '%1'").arg(words.value(1)));
    AVedioBox* pBox = words.size() > 2 ? pTiles->box(words.at(2)) : pTiles->boxList().at(0);
    if (!pBox)
        return fail(QStringLiteral("no tile %1").arg(words.value(2)));
    pBox->btnBkgDoublieClked();
    if (!pTiles->remoteDesktopDlg())
        return fail(QStringLiteral("no viewer opened"));
    return ok();
}

RemoteDesktopWnd* ConsoleTestDriver::viewer() const
{
    for (VedioBoxDrawer* d : m_wnd.rightGrpDrawer()->pcDrawers()) {
        if (auto* pViewer = qobject_cast<RemoteDesktopWnd*>(d->remoteDesktopDlg()))
            return pViewer;
    }
    return nullptr;
}

QJsonObject ConsoleTestDriver::click(const QStringList& words)
{
    RemoteDesktopWnd* pViewer = viewer();
    bool xOk = false;
    bool yOk = false;
    const QPointF local(words.value(1).toInt(&xOk), words.value(2).toInt(&yOk));
    if (!xOk || !yOk)
        return fail(QStringLiteral("usage: click X Y"));
    if (!pViewer)
        return fail(QStringLiteral("no viewer open"));
    if (pViewer->picture().isNull())
        return fail(QStringLiteral("the viewer shows no picture yet"));
    const QPoint agent = RemoteDesktopWnd::mapToAgent(local, pViewer->size(), pViewer->picture().size());
    const QPointF global = pViewer->mapToGlobal(local.toPoint());
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, local, global, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(pViewer, &event);
    }
    return ok(QJsonObject{{QStringLiteral("agentX"), agent.x()}, {QStringLiteral("agentY"), agent.y()}});
}

// A click on the viewer's "重新连接" button, as the mouse gives it.
QJsonObject ConsoleTestDriver::retryRdp()
{
    RemoteDesktopWnd* pViewer = viewer();
    if (!pViewer)
        return fail(QStringLiteral("no viewer open"));
    QPushButton* pButton = pViewer->retryButton();
    if (!pButton->isVisibleTo(pViewer))
        return fail(QStringLiteral("the viewer offers no new connection now"));
    const QPointF local(pButton->width() / 2, pButton->height() / 2);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, local, pButton->mapToGlobal(local.toPoint()), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(pButton, &event);
    }
    return ok();
}

GroupControlWnd* ConsoleTestDriver::groupWnd() const
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* p = qobject_cast<GroupControlWnd*>(w); p && p->isVisible())
            return p;
    }
    return nullptr;
}

QJsonObject ConsoleTestDriver::describeGroup(GroupControlWnd* pGroup)
{
    QJsonArray members;
    const GroupControlService* pRun = pGroup->service();
    const QList<GroupMember> list = pRun ? pRun->members() : QList<GroupMember>();
    for (int i = 0; i < list.size(); ++i) {
        const GroupMember& m = list.at(i);
        members.append(QJsonObject{{QStringLiteral("pc"), m.pcKey},
                                   {QStringLiteral("nick"), m.nickName},
                                   {QStringLiteral("idx"), m.memuIdx},
                                   {QStringLiteral("name"), m.simuName},
                                   {QStringLiteral("state"), pGroup->stateText(i)},
                                   {QStringLiteral("follow"), pGroup->followText(i)}});
    }
    const QImage picture = pGroup->screen()->picture();
    return QJsonObject{{QStringLiteral("title"), pGroup->windowTitle()},
                       {QStringLiteral("runId"), pRun ? pRun->runId() : QString()},
                       {QStringLiteral("port"), pRun ? pRun->viewPort() : 0},
                       {QStringLiteral("lead"), pRun ? pRun->lead() : -1},
                       {QStringLiteral("message"), pGroup->screen()->message()},
                       {QStringLiteral("pictureWidth"), picture.width()},
                       {QStringLiteral("pictureHeight"), picture.height()},
                       {QStringLiteral("shown"), pGroup->screen()->shownCount()},
                       {QStringLiteral("members"), members}};
}

// Asks the window to close as its title bar's button does: its question follows ("answer confirm").
QJsonObject ConsoleTestDriver::closeGroup()
{
    GroupControlWnd* pGroup = groupWnd();
    if (!pGroup)
        return fail(QStringLiteral("no group control window open"));
    QTimer::singleShot(0, pGroup, &QWidget::close);
    return ok();
}

QJsonObject ConsoleTestDriver::closeRdp()
{
    RemoteDesktopWnd* pViewer = viewer();
    if (!pViewer)
        return fail(QStringLiteral("no viewer open"));
    pViewer->close();
    return ok();
}

QJsonObject ConsoleTestDriver::group(const QStringList& words, const QString& line)
{
    MyGrpDrawer* pList = m_wnd.leftGrpDrawer();
    const QString usage =
        QStringLiteral("usage: group PC new NAME | group PC move GROUP | group delete GROUP");
    if (words.size() < 3)
        return fail(usage);
    if (words.at(1) == QLatin1String("delete")) {
        MyDrawerUI* pGroup = pList->findGroup(restOf(line, 2));
        if (!pGroup)
            return fail(QStringLiteral("no group '%1'").arg(restOf(line, 2)));
        return rightClickAndPick(pGroup->titleCell(), {MyDrawerUI::DeleteGroupText()})
                   ? ok()
                   : fail(QStringLiteral("no entry %1 on the group's title")
                              .arg(MyDrawerUI::DeleteGroupText()));
    }
    MyDrawerEx* pPc = pList->findPc(pcKey(words.at(1)));
    if (!pPc || words.size() < 4)
        return fail(usage + QStringLiteral(" (PC '%1' not listed)").arg(words.at(1)));
    QStringList path;
    if (words.at(2) == QLatin1String("new")) {
        m_pDialogs->queueText(restOf(line, 3), true); // the name asked for next, whatever waits
        path = QStringList{DevGroupMenu::NewGroupText()};
    } else if (words.at(2) == QLatin1String("move")) {
        path = QStringList{DevGroupMenu::MoveToText(), restOf(line, 3)};
    } else {
        return fail(usage);
    }
    return rightClickAndPick(pPc->titleCell(), path) ? ok()
                                                     : fail(QStringLiteral("the PC's title opened no menu"));
}

QJsonObject ConsoleTestDriver::titleMenu(const QStringList& words, const QString& line)
{
    if (words.size() < 3)
        return fail(QStringLiteral("usage: pcmenu PC ENTRY | groupmenu GROUP ENTRY"));
    QWidget* pRow = nullptr;
    if (words.at(0) == QLatin1String("pcmenu")) {
        MyDrawerEx* pPc = m_wnd.leftGrpDrawer()->findPc(pcKey(words.at(1)));
        pRow = pPc ? pPc->titleCell() : nullptr;
    } else if (MyDrawerUI* pGroup = m_wnd.leftGrpDrawer()->findGroup(words.at(1))) {
        pRow = pGroup->titleCell();
    }
    if (!pRow)
        return fail(QStringLiteral("'%1' is not listed").arg(words.at(1)));
    const QString entry = restOf(line, 2);
    return rightClickAndPick(pRow, {entry}) ? ok()
                                            : fail(QStringLiteral("no entry %1 on its title").arg(entry));
}

QJsonObject ConsoleTestDriver::tileMenu(const QStringList& words, const QString& line)
{
    VedioBoxDrawer* pTiles = m_wnd.rightGrpDrawer()->findPc(pcKey(words.value(1)));
    AVedioBox* pBox = pTiles ? pTiles->box(words.value(2)) : nullptr;
    if (!pBox || words.size() < 4)
        return fail(QStringLiteral("usage: tilemenu PC IDX ENTRY (no tile %1 of '%2')")
                        .arg(words.value(2), words.value(1)));
    const QString entry = restOf(line, 3);
    return rightClickAndPick(pBox, {entry}) ? ok()
                                            : fail(QStringLiteral("no entry %1 on the tile").arg(entry));
}

QJsonObject ConsoleTestDriver::filter(const QString& line)
{
    m_wnd.filterEdit()->setFocus();
    m_wnd.filterEdit()->setText(restOf(line, 1)); // as typing does: textChanged
    return ok(QJsonObject{{QStringLiteral("shownRows"), m_wnd.deviceFilter()->shownRows()}});
}

bool ConsoleTestDriver::rightClickAndPick(QWidget* pRow, const QStringList& path)
{
    auto picked = std::make_shared<bool>(false);
    auto handled = std::make_shared<bool>(false);
    auto pick = [path, picked, handled] {
        auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (*handled || !pMenu)
            return;
        *handled = true;
        QMenu* pAt = pMenu;
        for (const QString& text : path) {
            QAction* pFound = nullptr;
            for (QAction* a : pAt ? pAt->actions() : QList<QAction*>()) {
                if (a->text() == text && a->isEnabled())
                    pFound = a;
            }
            if (!pFound)
                break;
            if (pFound->menu()) {
                pAt = pFound->menu();
                continue;
            }
            // As a click does: the popup closes first, then the entry acts (it may open a dialog).
            *picked = true;
            pMenu->close();
            pFound->trigger();
            return;
        }
        pMenu->close();
    };
    // A popup that runs its own event loop inside the right click is picked from there; one that
    // opened without a loop of its own is open once the event returns.
    QTimer::singleShot(0, pRow, pick);
    const QPoint at = pRow->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, pRow->mapToGlobal(at));
    QCoreApplication::sendEvent(pRow, &event);
    pick();
    QCoreApplication::processEvents(); // what the entry queued (an operation) runs before the answer
    return *picked;
}
