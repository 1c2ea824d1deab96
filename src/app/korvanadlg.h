// The main window: banner, status line, progress bar and the open, update,
// settings and close buttons. It owns the device link, follows arrivals and
// removals through the application core's device status, and runs the
// update workflow on a worker thread as that workflow's host.
//
// Every handler runs on the window's thread. The worker, the timer service
// and the device-notification thread reach the window only through its
// messages (app/messages.h): the worker's host calls are sent messages that
// block it until the window has handled them.
#pragma once

#include "app/core/session.h"
#include "app/core/status.h"
#include "app/core/update.h"
#include "app/messages.h"
#include "app/uiseam.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class CTextProgressCtrl;
struct ZK_DetectRegistration;

// Converts the template's dialog units to pixels from the dialog font's
// metrics, as the template's font would: x by a quarter of the average
// character width, y by an eighth of the character height.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int w, int h) const;

  private:
    int baseX_;
    int baseY_;
};

// The simulator's disk form: a removable "korvtag" disk while inserted.
struct KorvanaSimDisk {
    std::atomic<bool> inserted{false};
    SimDevice* sim = nullptr;
};

struct KorvanaOptions {
    SessionOptions session; // simulate, profile, faults, device path
    QString package;        // taken as if dropped
};

class CKorvanaDlg : public QDialog, public UpdateHost, public StatusHost {
    Q_OBJECT

  public:
    // `seam` (optional) replaces the message boxes and file dialogs; the
    // window does not own it.
    explicit CKorvanaDlg(const KorvanaOptions& options, UiSeam* seam = nullptr,
                         QWidget* parent = nullptr);
    ~CKorvanaDlg() override;

    // The single-instance requests of another process.
    void bringToFront();
    void runCommand(int command); // 10000 dump, 10001 server data
    void takePackage(const QString& path);
    void runAbout() { OnAbout(); }

    // For the simulator menu and tests.
    SimDevice* simulator() const { return m_pSim; }
    void simulateUnplug();
    void simulatePlug();
    void simulateDiskForm();

    bool workerRunning() const { return m_pWorker != nullptr; }
    DeviceLink* link() override { return m_pLink; }
    const StatusView& statusView() const { return m_status->view(); }
    CTextProgressCtrl* progressBar() const { return m_pProgress; }

    // UpdateHost, called on the worker thread.
    std::string localFile() override;
    bool closing() override { return m_bClosing.load(); }
    void setButtonsEnabled(bool enabled) override;
    void setProgressText(const char* text) override;
    void setProgressRange(uint32_t maximum) override;
    void setProgressPosition(uint32_t position) override;
    int selectProvinces(UpdatePackage* package, uint32_t capacity, int32_t* flags,
                        int* chosen) override;
    void showResult(bool success, const std::string& text) override;
    // The write's progress as the window shows it (position and text in one
    // sent message), at most every 20 ms but always the first and the last.
    void progressEvent(const ProgressEvent& event) override;

    // StatusHost, on the window's thread.
    void statusChanged(const StatusView& view) override;
    bool scheduleDelayedSearch(uint32_t ms) override;

    // The link's progress callback (user = the window).
    static int OnWriteProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                               uint32_t startTick);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void OnInitDialog();
    void RefreshDeviceStatus();
    void OnUpdate();
    void OnOpen();
    QString chooseOutput(const QString& filters);
    void OnDumpInfo();
    void OnReadServer();
    void OnAbout();
    intptr_t handleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    void workerEnded();
    void shutDown();
    bool devicePresent() const;
    bool box(const QString& text, const QString& caption, UiSeam::Icon icon, bool yesNo = false);

    // Controls, by template id (object names are the ids).
    QLabel* m_pBanner = nullptr;              // 1031
    QGroupBox* m_pFileGroup = nullptr;        // 1012
    QLabel* m_pStatusLine = nullptr;          // 1032
    QPushButton* m_pOpen = nullptr;           // 1006
    QGroupBox* m_pProgressGroup = nullptr;    // 1011
    CTextProgressCtrl* m_pProgress = nullptr; // 1007
    QPushButton* m_pSetting = nullptr;        // 1000
    QPushButton* m_pUpdate = nullptr;         // 1002
    QPushButton* m_pClose = nullptr;          // 1008

    KorvanaOptions m_options;
    UiSeam m_defaultSeam;
    UiSeam* m_pSeam;
    std::atomic<bool> m_bClosing{false};
    bool m_bShutDown = false;
    std::unique_ptr<std::thread> m_pWorker;
    std::mutex m_workerLock;
    std::condition_variable m_workerDone;
    bool m_bWorkerFinished = false;
    QString m_strLocalFile;
    std::string m_workerFile; // m_strLocalFile as the worker reads it
    DeviceLink* m_pLink = nullptr;
    SimDevice* m_pSim = nullptr;
    int32_t m_bProvincesChosen = 0;
    int32_t m_aProvinceFlags[ZK_PROVINCE_COUNT] = {};
    std::unique_ptr<WindowMessages> m_messages;
    std::unique_ptr<DeviceStatus> m_status;
    ZK_DetectRegistration* m_registration = nullptr;
    KorvanaSimDisk m_simDisk;
    uint32_t m_lastProgressTick = 0; // the worker's: when it last sent progress
    ZK_StorageOps m_simDiskOps{};
};
