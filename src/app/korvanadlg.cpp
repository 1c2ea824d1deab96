#include "app/korvanadlg.h"

#include "app/core/client.h"
#include "device/serverdata.h"
#include "platform/storage.h"
#include "support/log.h"
#include "support/str.h"
#include "support/timer.h"
#include "widgets/textprogress.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QUrl>

#include <chrono>
#include <cstdlib>
#include <cstring>

#define ZK_DLG_LOG(...) ZK_Log_print("KorvanaDlg", __LINE__, __func__, __VA_ARGS__)

namespace {

// The dialog template's font: "MS Shell Dlg" 9 becomes the desktop's sans at 9 pt.
QFont templateFont() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    return font;
}

QIcon resourceIcon(const char* path, QStyle::StandardPixmap fallback, const QWidget* w) {
    QIcon icon(path);
    if (icon.availableSizes().isEmpty())
        icon = w->style()->standardIcon(fallback);
    return icon;
}

// The banner: our picture when the resources carry it, else a plain gradient.
QPixmap bannerPixmap(const QSize& size) {
    QPixmap picture(":/banner.png");
    if (!picture.isNull())
        return picture;
    QPixmap drawn(size);
    QPainter p(&drawn);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor(12, 40, 84));
    g.setColorAt(1, QColor(40, 120, 190));
    p.fillRect(drawn.rect(), g);
    return drawn;
}

void receiveNotification(void* user, const ZK_DeviceNotification* n) {
    auto* messages = static_cast<WindowMessages*>(user);
    auto copy = std::make_shared<ZK_DeviceNotification>(*n);
    messages->post(WM_DEVICECHANGE_MSG, 0, 0, copy);
}

void postDelayedSearch(void* user) {
    static_cast<WindowMessages*>(user)->post(MSG_DELAYED_SEARCH, 0, 0);
}

// The simulator's disk form: one removable "korvtag" disk while inserted.
int simListDisks(void* user, const char*, ZK_BlockDisk* out, int capacity) {
    auto* disk = static_cast<KorvanaSimDisk*>(user);
    if (!disk->inserted.load() || capacity < 1)
        return 0;
    std::memset(out, 0, sizeof *out);
    ZK_Str_copy(sizeof out->name, "sdz", out->name, 0);
    ZK_Str_copy(sizeof out->devnode, "/dev/sdz", out->devnode, 0);
    out->removable = 1;
    out->hasVendor = 1;
    ZK_Str_copy(sizeof out->vendor, "korvtag ", out->vendor, 0);
    return 1;
}
int simFindMount(void*, const char*, const char*, ZK_MountEntry* out) {
    std::memset(out, 0, sizeof *out);
    ZK_Str_copy(sizeof out->devnode, "/dev/sdz1", out->devnode, 0);
    ZK_Str_copy(sizeof out->mountPoint, "/media/korvana-simulated", out->mountPoint, 0);
    return ZK_STORAGE_OK;
}
int simWriteFile(void*, const char*, const char*, const char*, const void*, size_t) {
    return ZK_STORAGE_OK;
}
struct SimReplug {
    SimDevice* sim;
};
void plugLater(void* user) {
    auto* r = static_cast<SimReplug*>(user);
    ZK_Sim_plug(r->sim);
    delete r;
}

} // namespace

// ---------------------------------------------------------------- units

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    // The average width of the 52 letters, rounded, as the template's system measures it.
    int width = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (width / 26 + 1) / 2;
    baseY_ = fm.height();
}

int DialogUnits::x(int units) const {
    return (units * baseX_ + 2) / 4;
}

int DialogUnits::y(int units) const {
    return (units * baseY_ + 4) / 8;
}

QRect DialogUnits::rect(int x0, int y0, int w, int h) const {
    return QRect(x(x0), y(y0), x(x0 + w) - x(x0), y(y0 + h) - y(y0));
}

// ---------------------------------------------------------------- window

CKorvanaDlg::CKorvanaDlg(const KorvanaOptions& options, UiSeam* seam, QWidget* parent)
    : QDialog(parent), m_options(options), m_pSeam(seam ? seam : &m_defaultSeam) {
    m_messages = std::make_unique<WindowMessages>(
        [this](uint32_t m, uintptr_t w, intptr_t l) { return handleMessage(m, w, l); }, this);
    OnInitDialog();
}

CKorvanaDlg::~CKorvanaDlg() {
    shutDown();
}

void CKorvanaDlg::OnInitDialog() {
    QFont font = templateFont();
    setFont(font);
    DialogUnits du(font);
    setObjectName("KORVANA_CLASS");
    setFixedSize(du.x(282), du.y(250));
    setAcceptDrops(true);

    m_pBanner = new QLabel(this);
    m_pBanner->setObjectName("1031");
    m_pBanner->setGeometry(du.rect(0, 0, 282, 134));
    m_pBanner->setScaledContents(true);
    m_pBanner->setPixmap(bannerPixmap(m_pBanner->size()));

    m_pFileGroup = new QGroupBox("Download File", this);
    m_pFileGroup->setObjectName("1012");
    m_pFileGroup->setGeometry(du.rect(0, 136, 282, 36));
    m_pStatusLine = new QLabel(this);
    m_pStatusLine->setObjectName("1032");
    m_pStatusLine->setGeometry(du.rect(12, 148, 210, 18));
    m_pStatusLine->setTextFormat(Qt::PlainText);
    m_pOpen = new QPushButton(this);
    m_pOpen->setObjectName("1006");
    m_pOpen->setGeometry(du.rect(228, 146, 42, 20));

    m_pProgressGroup = new QGroupBox("Downloading Indication", this);
    m_pProgressGroup->setObjectName("1011");
    m_pProgressGroup->setGeometry(du.rect(0, 173, 282, 36));
    m_pProgress = new CTextProgressCtrl(this);
    m_pProgress->setObjectName("1007");
    m_pProgress->setGeometry(du.rect(12, 185, 258, 16));

    m_pSetting = new QPushButton("配置", this);
    m_pSetting->setObjectName("1000");
    m_pSetting->setGeometry(du.rect(3, 215, 84, 28));
    m_pUpdate = new QPushButton("发送", this);
    m_pUpdate->setObjectName("1002");
    m_pUpdate->setGeometry(du.rect(96, 215, 84, 28));
    m_pClose = new QPushButton("关闭", this);
    m_pClose->setObjectName("1008");
    m_pClose->setGeometry(du.rect(194, 215, 84, 28));
    m_pFileGroup->lower();
    m_pProgressGroup->lower();
    m_pBanner->lower();

    connect(m_pOpen, &QPushButton::clicked, this, [this] { OnOpen(); });
    connect(m_pUpdate, &QPushButton::clicked, this, [this] { OnUpdate(); });
    connect(m_pClose, &QPushButton::clicked, this, [this] { close(); });
    // The settings button's handler comes with the settings dialog.

    // Icon 128.
    setWindowIcon(resourceIcon(":/icons/korvana-64.png", QStyle::SP_ComputerIcon, this));

    ZK_DLG_LOG("start");
    if (m_options.session.simulate) {
        std::string why;
        m_pSim = ZK_Session_startSimulator(m_options.session, &why);
        if (!m_pSim)
            ZK_DLG_LOG("the simulated device did not start: %s", why.c_str());
    }
    int udev = 0;
    m_registration =
        ZK_Detect_registerNotifications(receiveNotification, m_messages.get(), 1, &udev);
    if (!m_registration)
        m_registration =
            ZK_Detect_registerNotifications(receiveNotification, m_messages.get(), 0, &udev);
    (void)ZK_Timer_start();

    m_pLink = ZK_Link_create(IsDeviceClientAccepted, nullptr, OnWriteProgress, this);
    if (!m_pLink || !m_pLink->channel) {
        box("Error", ZK_TEXT_CAPTION, UiSeam::NoIcon);
        QMetaObject::invokeMethod(this, "reject", Qt::QueuedConnection);
        return;
    }

    setWindowTitle(ZK_TEXT_CAPTION);
    m_pFileGroup->setTitle("Update the File");
    m_pProgressGroup->setTitle("Progress");
    m_pOpen->setText("Open");
    m_pOpen->setIcon(resourceIcon(":/icons/open.png", QStyle::SP_DialogOpenButton, this));
    m_pClose->setText("Close");
    m_pClose->setIcon(resourceIcon(":/icons/close.png", QStyle::SP_DialogCloseButton, this));
    m_pSetting->setText("Setting");
    m_pSetting->setIcon(
        resourceIcon(":/icons/settings.png", QStyle::SP_FileDialogDetailedView, this));
    m_pUpdate->setText("Update");
    m_pUpdate->setIcon(resourceIcon(":/icons/update.png", QStyle::SP_ArrowUp, this));
    m_pUpdate->setDefault(true);
    m_pUpdate->setFocus();
    m_pSetting->setEnabled(false);
    m_pUpdate->setEnabled(false);

    m_simDisk.sim = m_pSim;
    m_simDiskOps = {simListDisks, simFindMount, simWriteFile,
                    [](void* user, const ZK_BlockDisk*, const ZK_MountEntry*) -> int {
                        auto* disk = static_cast<KorvanaSimDisk*>(user);
                        // The device leaves its disk form after the eject and
                        // comes back as the HID device a moment later.
                        disk->inserted = false;
                        if (disk->sim && !ZK_Timer_after(plugLater, 1000, new SimReplug{disk->sim}))
                            ZK_Sim_plug(disk->sim);
                        return ZK_STORAGE_OK;
                    },
                    &m_simDisk};
    m_status =
        std::make_unique<DeviceStatus>(m_pLink, *this, "/", m_pSim ? &m_simDiskOps : nullptr);
    m_status->start();
    if (!m_options.package.isEmpty())
        takePackage(m_options.package);
}

bool CKorvanaDlg::devicePresent() const {
    return ZK_Link_isAttached(m_pLink);
}

bool CKorvanaDlg::box(const QString& text, const QString& caption, UiSeam::Icon icon, bool yesNo) {
    return m_pSeam->messageBox(this, text, caption, icon, yesNo);
}

void CKorvanaDlg::RefreshDeviceStatus() {
    if (m_status)
        m_status->refresh();
}

void CKorvanaDlg::statusChanged(const StatusView& view) {
    setWindowTitle(QString::fromStdString(view.title));
    // While the worker runs the buttons are its own.
    if (m_pWorker)
        return;
    m_pUpdate->setEnabled(view.updateEnabled);
    m_pSetting->setEnabled(view.settingsEnabled);
    if (view.updateEnabled)
        m_pOpen->setEnabled(true);
}

bool CKorvanaDlg::scheduleDelayedSearch(uint32_t ms) {
    return ZK_Timer_after(postDelayedSearch, ms, m_messages.get()) != nullptr;
}

void CKorvanaDlg::takePackage(const QString& path) {
    if (m_pWorker)
        return;
    m_pStatusLine->setText(path);
    m_strLocalFile = path;
    m_status->setHavePackage(true);
    m_pUpdate->setEnabled(m_status->view().updateEnabled);
}

void CKorvanaDlg::OnOpen() {
    QString path = m_pSeam->openFileName(this, "Update File(*.dzk);;All File(*.*)");
    if (!path.isEmpty())
        takePackage(path);
}

void CKorvanaDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CKorvanaDlg::dropEvent(QDropEvent* event) {
    // A running update keeps its package: drops are ignored meanwhile.
    if (m_pWorker || !event->mimeData()->hasUrls())
        return;
    QString path = event->mimeData()->urls().first().toLocalFile();
    std::string extension = ZK_Update_extension(path.toStdString());
    if (QString::fromStdString(extension).compare("dzk", Qt::CaseInsensitive) == 0)
        takePackage(path);
    event->acceptProposedAction();
}

void CKorvanaDlg::OnUpdate() {
    if (!devicePresent()) {
        box(ZK_TEXT_NO_HARDWARE, QString(), UiSeam::Error);
        return;
    }
    if (m_pWorker || !m_status->beginWork())
        return;
    m_bClosing = false;
    m_workerFile = m_strLocalFile.toStdString();
    m_bWorkerFinished = false;
    m_pWorker = std::make_unique<std::thread>([this] {
        (void)ZK_Update_run(*this);
        {
            std::lock_guard<std::mutex> guard(m_workerLock);
            m_bWorkerFinished = true;
        }
        m_workerDone.notify_all();
        m_messages->post(MSG_WORKER_ENDED, 0, 0);
    });
}

void CKorvanaDlg::workerEnded() {
    if (!m_pWorker)
        return;
    m_pWorker->join();
    m_pWorker.reset();
    m_status->endWork();
}

// ---------------------------------------------------------------- the worker's host

std::string CKorvanaDlg::localFile() {
    return m_workerFile;
}

void CKorvanaDlg::setButtonsEnabled(bool enabled) {
    m_messages->send(MSG_ENABLE_BUTTONS, enabled ? 1 : 0, 0, 0);
}

void CKorvanaDlg::setProgressText(const char* text) {
    m_messages->send(WM_SETTEXT_MSG, 0, reinterpret_cast<intptr_t>(text ? text : ""), 0);
}

void CKorvanaDlg::setProgressRange(uint32_t maximum) {
    m_messages->send(PBM_SETRANGE32_MSG, 0, (intptr_t)maximum, 0);
}

void CKorvanaDlg::setProgressPosition(uint32_t position) {
    m_messages->send(PBM_SETPOS_MSG, position, 0, 0);
}

int CKorvanaDlg::selectProvinces(UpdatePackage* package, uint32_t capacity, int32_t* flags,
                                 int* chosen) {
    // Cancelled when closing: the run then ends without writing.
    intptr_t r = m_messages->send(MSG_SELECT_PROVINCES, reinterpret_cast<uintptr_t>(package),
                                  (intptr_t)capacity, 1);
    if (r != 0)
        return 1;
    std::memcpy(flags, m_aProvinceFlags, sizeof m_aProvinceFlags);
    *chosen = m_bProvincesChosen;
    return 0;
}

void CKorvanaDlg::showResult(bool success, const std::string& text) {
    m_messages->send(MSG_SHOW_RESULT, success ? 1 : 0, reinterpret_cast<intptr_t>(text.c_str()), 0);
}

void CKorvanaDlg::progressEvent(const ProgressEvent& e) {
    if (e.kind == ZK_PROGRESS_STARTED) {
        UpdateHost::progressEvent(e);
        m_lastProgressTick = e.nowTick;
        return;
    }
    // The bar cannot show more than every few milliseconds anyway; a message
    // per 4 KiB would make the redraws cost more than the write.
    if (e.kind == ZK_PROGRESS_VALUE && e.value < 10000 && e.nowTick - m_lastProgressTick < 20)
        return;
    m_lastProgressTick = e.nowTick;
    std::string text = ZK_Update_progressText(e);
    m_messages->send(MSG_WRITE_PROGRESS, e.value, reinterpret_cast<intptr_t>(text.c_str()), 0);
}

int CKorvanaDlg::OnWriteProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                                 uint32_t startTick) {
    auto* self = static_cast<CKorvanaDlg*>(user);
    return ZK_Update_onWriteProgress(static_cast<UpdateHost*>(self), link, kind, value, startTick);
}

intptr_t CKorvanaDlg::handleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case WM_SETTEXT_MSG:
        m_pProgress->SetWindowText(QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
        return 1;
    case PBM_SETRANGE32_MSG:
        m_pProgress->SetRange((int)wParam, (int)lParam);
        return 0;
    case PBM_SETPOS_MSG:
        return m_pProgress->SetPos((int)wParam);
    case MSG_WRITE_PROGRESS:
        m_pProgress->SetPos((int)wParam);
        m_pProgress->SetWindowText(QString::fromUtf8(reinterpret_cast<const char*>(lParam)));
        return 0;
    case MSG_ENABLE_BUTTONS:
        m_pUpdate->setEnabled(wParam != 0);
        m_pSetting->setEnabled(wParam != 0);
        m_pOpen->setEnabled(wParam != 0);
        return 0;
    case MSG_SHOW_RESULT: {
        QString text = QString::fromUtf8(reinterpret_cast<const char*>(lParam));
        if (wParam)
            box(text, ZK_TEXT_CAPTION, UiSeam::Information);
        else
            box(text, QString(), UiSeam::Error);
        return 0;
    }
    case MSG_SELECT_PROVINCES:
        // The province dialog answers here; without it the selection is cancelled.
        return 1;
    case WM_DEVICECHANGE_MSG:
        if (m_status)
            m_status->notification(*reinterpret_cast<const ZK_DeviceNotification*>(lParam));
        return 0;
    case MSG_DELAYED_SEARCH:
        if (m_status)
            m_status->delayedSearch();
        return 0;
    case MSG_WORKER_ENDED:
        workerEnded();
        return 0;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- commands

void CKorvanaDlg::bringToFront() {
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void CKorvanaDlg::runCommand(int command) {
    if (command == 10000)
        OnDumpInfo();
    else if (command == 10001)
        OnReadServer();
}

void CKorvanaDlg::OnAbout() {
    m_pSeam->about(this, "关于 Korvana", "Korvana，2.0 版", "确定");
}

// The device commands' common start: nothing while the worker owns the link,
// the no-device box, then the save dialog. The chosen path, or empty.
QString CKorvanaDlg::chooseOutput(const QString& filters) {
    if (m_pWorker)
        return {};
    if (!devicePresent()) {
        box(ZK_TEXT_NO_HARDWARE, QString(), UiSeam::Error);
        return {};
    }
    return m_pSeam->saveFileName(this, filters, "file");
}

void CKorvanaDlg::OnDumpInfo() {
    QString path = chooseOutput("txt File(*.txt);;All File(*.*)");
    if (path.isEmpty())
        return;
    bool ok = ZK_Link_dumpInfo(path.toLocal8Bit().constData(), m_pLink) != 0;
    box(ok ? "Write Ok!" : "Write Error!", QString(), UiSeam::Error);
}

void CKorvanaDlg::OnReadServer() {
    QString path = chooseOutput("bin File(*.bin);;All File(*.*)");
    if (path.isEmpty())
        return;
    int result = ZK_ServerData_read(m_pLink, path.toLocal8Bit().constData());
    if (result == ZK_SERVERDATA_OK)
        box("Write Ok!", "Tips", UiSeam::NoIcon);
    else
        box("Write Error!", QString(), UiSeam::Error);
}

void CKorvanaDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    char label[64];
    ZK_Str_format(label, sizeof label, "%.4sVersion%d", CLIENT_TAG, TOOL_VERSION);
    menu.addAction(QString::fromUtf8(label)); // tells the version; does nothing
    menu.addAction("About Korvana...", this, [this] { OnAbout(); });
    menu.addSeparator();
    QAction* dump =
        menu.addAction("Save device information...", this, [this] { runCommand(10000); });
    QAction* server = menu.addAction("Save server data...", this, [this] { runCommand(10001); });
    dump->setEnabled(!m_pWorker);
    server->setEnabled(!m_pWorker);
    if (m_pSim) {
        QMenu* simMenu = menu.addMenu("Simulated device");
        bool plugged = ZK_Sim_isPlugged(m_pSim);
        simMenu->addAction("Unplug", this, [this] { simulateUnplug(); })->setEnabled(plugged);
        simMenu->addAction("Plug in", this, [this] { simulatePlug(); })->setEnabled(!plugged);
        simMenu->addAction("Switch to the disk form", this, [this] { simulateDiskForm(); })
            ->setEnabled(plugged);
    }
    menu.exec(event->globalPos());
}

void CKorvanaDlg::simulateUnplug() {
    if (m_pSim)
        ZK_Sim_unplug(m_pSim);
}

void CKorvanaDlg::simulatePlug() {
    if (m_pSim)
        ZK_Sim_plug(m_pSim);
}

void CKorvanaDlg::simulateDiskForm() {
    if (!m_pSim)
        return;
    ZK_Sim_unplug(m_pSim);
    m_simDisk.inserted = true;
    // The disk form shows up as a new volume.
    auto n = std::make_shared<ZK_DeviceNotification>();
    std::memset(n.get(), 0, sizeof *n);
    n->event = ZK_DETECT_ARRIVAL;
    ZK_Str_copy(sizeof n->subsystem, "block", n->subsystem, 0);
    ZK_Str_copy(sizeof n->devtype, "partition", n->devtype, 0);
    ZK_Str_copy(sizeof n->path, "/dev/sdz1", n->path, 0);
    m_messages->post(WM_DEVICECHANGE_MSG, 0, 0, n);
}

// ---------------------------------------------------------------- closing

void CKorvanaDlg::closeEvent(QCloseEvent* event) {
    shutDown();
    QDialog::closeEvent(event);
}

void CKorvanaDlg::shutDown() {
    if (m_bShutDown)
        return;
    m_bShutDown = true;
    m_bClosing = true;
    // A worker blocked in a sent message gets its answer now, and no command
    // after its current one reaches the device.
    m_messages->beginClosing();
    if (m_pLink && m_pLink->channel)
        m_pLink->channel->cancelled.store(1);
    if (m_pWorker) {
        std::unique_lock<std::mutex> wait(m_workerLock);
        bool ended = m_workerDone.wait_for(wait, std::chrono::milliseconds(5000),
                                           [this] { return m_bWorkerFinished; });
        wait.unlock();
        if (!ended) {
            // It cannot be stopped safely and uses this window: end the process.
            ZK_DLG_LOG("the update worker did not end within 5000 ms");
            std::_Exit(1);
        }
        m_pWorker->join();
        m_pWorker.reset();
    }
    ZK_Timer_shutdown();
    ZK_Detect_unregisterNotifications(m_registration);
    m_registration = nullptr;
    m_status.reset();
    ZK_Link_release(m_pLink);
    m_pLink = nullptr;
    std::string why;
    if (!ZK_Sim_destroy(m_pSim, &why))
        ZK_DLG_LOG("%s", why.c_str());
    m_pSim = nullptr;
}
