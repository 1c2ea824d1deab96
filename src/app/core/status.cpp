#include "app/core/status.h"

DeviceStatus::DeviceStatus(DeviceLink* link, StatusHost& host, const char* root,
                           const ZK_StorageOps* ops)
    : link_(link), host_(host), root_(root ? root : "/"), ops_(ops) {}

void DeviceStatus::findHidDevice() {
    int hid = 0;
    int rc = ZK_Detect_findHidDevice(link_, &hid);
    if (rc == ZK_ATTACH_OPEN_FAILED || rc == ZK_ATTACH_REFUSED)
        host_.attachProblem(rc, hid);
}

bool DeviceStatus::probeDiskForm() {
    ZK_DiskProbe probe{};
    if (!ZK_Detect_probeUsbDiskAt(root_.c_str(), ops_, &probe))
        return false;
    host_.diskFormFound(probe);
    return true;
}

void DeviceStatus::show(int state) {
    view_.state = state;
    view_.title = ZK_TEXT_TITLE;
    switch (state) {
    case ZK_DEVICE_CONNECTED:
        view_.title += std::string(ZK_TEXT_CONNECTED) + ZK_TEXT_VERSION_PREFIX + view_.date;
        break;
    case ZK_DEVICE_CONNECTING:
        view_.title += ZK_TEXT_CONNECTING;
        break;
    default:
        view_.title += ZK_TEXT_NO_HARDWARE;
        break;
    }
    view_.settingsEnabled = state == ZK_DEVICE_CONNECTED;
    view_.updateEnabled = state == ZK_DEVICE_CONNECTED && havePackage_;
    host_.statusChanged(view_);
}

void DeviceStatus::start() {
    if (probeDiskForm()) {
        show(ZK_DEVICE_CONNECTING);
        (void)host_.scheduleDelayedSearch(ZK_DELAYED_SEARCH_MS);
        return;
    }
    findHidDevice();
    refresh();
}

void DeviceStatus::refresh() {
    if (!ZK_Link_isAttached(link_)) {
        show(ZK_DEVICE_NONE);
        return;
    }
    // During work the worker owns `info`: keep the date read before it began.
    if (!working_) {
        char date[16];
        ZK_Link_dateText(&link_->info.gpsDate, date, sizeof date);
        view_.date = date;
    }
    show(ZK_DEVICE_CONNECTED);
}

void DeviceStatus::setHavePackage(bool have) {
    havePackage_ = have;
    view_.updateEnabled = view_.state == ZK_DEVICE_CONNECTED && havePackage_;
}

void DeviceStatus::delayedSearch() {
    if (working_) {
        deferredSearch_ = true;
        return;
    }
    findHidDevice();
    refresh();
}

void DeviceStatus::notification(const ZK_DeviceNotification& n) {
    int cls = ZK_Detect_classifyInterface(&n);
    if (n.event == ZK_DETECT_ARRIVAL) {
        if (cls == ZK_CLASS_HID && ZK_Detect_matchHidPath(n.path)) {
            if (working_) {
                deferredSearch_ = true;
                return;
            }
            findHidDevice();
            refresh();
        } else if (cls == ZK_CLASS_VOLUME && probeDiskForm()) {
            show(ZK_DEVICE_CONNECTING);
        }
    } else if (n.event == ZK_DETECT_REMOVE_COMPLETE && cls == ZK_CLASS_HID &&
               ZK_Detect_matchHidPath(n.path)) {
        // A removal never waits: the running command fails at its next report.
        if (ZK_Link_isAttached(link_))
            ZK_Detect_detach(link_);
        refresh();
    }
}

bool DeviceStatus::beginWork() {
    if (working_ || !ZK_Link_isAttached(link_) || !ZK_Link_claim(link_))
        return false;
    working_ = true;
    return true;
}

void DeviceStatus::endWork() {
    if (!working_)
        return;
    working_ = false;
    ZK_Link_unclaim(link_);
    if (deferredSearch_) {
        deferredSearch_ = false;
        findHidDevice();
    }
    refresh();
}
