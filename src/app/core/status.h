// The device status behind the window's title and buttons: no device,
// connecting (the disk form, searched again 2000 ms later), connected with
// the GPS data date. Fed by device-change notifications (udev or the
// simulator) on the thread that owns the link; `watch` prints from it and
// the window draws from it.
//
// Qt-free, not locked: every call on the owner's thread. Other threads (the
// timer service, the notification thread) reach it only through the owner's
// queue; the host's scheduleDelayedSearch must deliver delayedSearch() there.
//
// While work owns the link (beginWork .. endWork) arrivals and the delayed
// search are deferred until the work ends, and the status never reads the
// link's information; a removal still closes the port at once.
#pragma once

#include "device/detect.h"
#include "device/link.h"

#include <cstdint>
#include <string>

inline constexpr char ZK_TEXT_TITLE[] = "Update Tool";
inline constexpr char ZK_TEXT_NO_HARDWARE[] = "   No hardware connected!";
inline constexpr char ZK_TEXT_CONNECTING[] = "   GPS Connecting...";
inline constexpr char ZK_TEXT_CONNECTED[] = "   GPS Connected";
inline constexpr char ZK_TEXT_VERSION_PREFIX[] = "   V:";
inline constexpr uint32_t ZK_DELAYED_SEARCH_MS = 2000;

enum ZK_DeviceState {
    ZK_DEVICE_NONE = 0,
    ZK_DEVICE_CONNECTING = 1,
    ZK_DEVICE_CONNECTED = 2,
};

struct StatusView {
    int state = ZK_DEVICE_NONE;
    std::string date;             // "%d%02d%02d" of the GPS data, empty when none
    std::string title;            // "Update Tool" + the state text
    bool settingsEnabled = false; // a device is present
    bool updateEnabled = false;   // a device is present and there is something to write
};

class StatusHost {
  public:
    virtual ~StatusHost() = default;
    // The title and buttons to show; called on every refresh.
    virtual void statusChanged(const StatusView& view) = 0;
    // Arrange for DeviceStatus::delayedSearch() to run on the owner's thread
    // after `ms`. False when it cannot be scheduled.
    virtual bool scheduleDelayedSearch(uint32_t ms) = 0;
    // An attach that found the device but could not use it (ZK_AttachResult
    // OPEN_FAILED or REFUSED, with the HID layer's code).
    virtual void attachProblem(int attachResult, int hidResult) {
        (void)attachResult;
        (void)hidResult;
    }
    // The disk form was found: its marker written and its eject requested.
    virtual void diskFormFound(const ZK_DiskProbe& probe) { (void)probe; }
};

class DeviceStatus {
  public:
    // `root` and `ops` choose the system (or a test tree) for the disk form.
    DeviceStatus(DeviceLink* link, StatusHost& host, const char* root = "/",
                 const ZK_StorageOps* ops = nullptr);

    // The window's initialisation: the disk form means connecting and a
    // delayed search; otherwise search now. Either way the status is shown.
    void start();
    // A device-change notification (arrival or removal by class and path).
    void notification(const ZK_DeviceNotification& notification);
    // The delayed search: find the HID interface, then refresh.
    void delayedSearch();
    // The window's RefreshDeviceStatus.
    void refresh();
    // Whether a package is chosen (or can be fetched): enables update.
    void setHavePackage(bool have);

    // Work (an update, a settings write) takes the link: false when there is
    // no device or other work runs. endWork handles what arrived meanwhile.
    [[nodiscard]] bool beginWork();
    void endWork();
    bool working() const { return working_; }

    const StatusView& view() const { return view_; }

  private:
    void findHidDevice();
    bool probeDiskForm();
    void show(int state);

    DeviceLink* link_;
    StatusHost& host_;
    std::string root_;
    const ZK_StorageOps* ops_;
    StatusView view_;
    bool havePackage_ = false;
    bool working_ = false;
    bool deferredSearch_ = false; // an arrival or delayed search came during work
};
