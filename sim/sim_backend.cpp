// The simulator's HID backend: plugged simulated devices under paths
// "sim:NAME#vid_0416&pid_b500".
//
// Handles are numbers looked up in a table, never pointers into a device, and
// each holds the device state by shared ownership: a device unplugged or
// destroyed, or a handle closed, while a read or write runs on another thread
// only makes that call return, and nothing is freed under it.
#include "sim_internal.h"

#include "platform/hid.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

namespace sim {

namespace {

constexpr uint16_t kVendorId = 0x0416;
constexpr uint16_t kProductId = 0xB500;
constexpr const char* kPrefix = "sim:";

struct Handle {
    std::shared_ptr<Core> core;
    uint64_t generation; // the plug it was opened on
    std::atomic<bool> closed{false};
};

std::mutex g_lock; // guards everything below
std::vector<std::weak_ptr<Core>> g_live;
std::vector<std::shared_ptr<Core>> g_plugged;
std::map<uintptr_t, std::shared_ptr<Handle>> g_handles;
uintptr_t g_nextHandle = 1;
SimHotplugCallback g_hotplug = nullptr;
void* g_hotplugUser = nullptr;

std::shared_ptr<Handle> findHandle(void* handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find((uintptr_t)handle);
    return it == g_handles.end() ? nullptr : it->second;
}

// Called with core.lock held.
bool handleDead(const Handle& h) {
    return h.closed.load() || !h.core->plugged || h.core->generation != h.generation;
}

int simEnumerate(uint16_t vendorId, uint16_t productId, ZK_HidDeviceInfo* out, int capacity) {
    if ((vendorId != 0 && vendorId != kVendorId) || (productId != 0 && productId != kProductId))
        return 0;
    std::lock_guard<std::mutex> guard(g_lock);
    int found = 0;
    for (const auto& core : g_plugged) {
        if (found < capacity) {
            ZK_HidDeviceInfo& info = out[found];
            std::memset(&info, 0, sizeof info);
            std::string path = pathOf(core->name);
            std::strncpy(info.path, path.c_str(), sizeof info.path - 1);
            std::strncpy(info.backend, "sim", sizeof info.backend - 1);
            info.vendorId = kVendorId;
            info.productId = kProductId;
        }
        ++found;
    }
    return found;
}

bool simOwnsPath(const char* path) {
    return path && std::strncmp(path, kPrefix, std::strlen(kPrefix)) == 0;
}

int simOpen(const char* path, void** handle) {
    if (!handle)
        return ZK_HID_ERR_INVALID;
    *handle = nullptr;
    char node[ZK_HID_PATH_CAPACITY];
    if (!simOwnsPath(path) || !ZK_Hid_pathNode(path, node, sizeof node))
        return ZK_HID_ERR_INVALID;
    std::string name(node + std::strlen(kPrefix));
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& core : g_plugged) {
        if (core->name != name)
            continue;
        auto h = std::make_shared<Handle>();
        h->core = core;
        {
            std::lock_guard<std::mutex> coreGuard(core->lock);
            if (!core->plugged)
                return ZK_HID_ERR_NO_DEVICE;
            h->generation = core->generation;
        }
        uintptr_t id = g_nextHandle++;
        g_handles[id] = h;
        *handle = (void*)id;
        return ZK_HID_OK;
    }
    return ZK_HID_ERR_NO_DEVICE;
}

int simWrite(void* handle, const uint8_t* report, size_t length, size_t* count) {
    *count = 0;
    std::shared_ptr<Handle> h = findHandle(handle);
    if (!h)
        return ZK_HID_ERR_NO_DEVICE;
    // The report id comes first, as on hidraw.
    uint8_t payload[kPayloadSize] = {};
    if (length > 1)
        std::memcpy(payload, report + 1, std::min(length - 1, kPayloadSize));
    bool disconnected;
    {
        std::lock_guard<std::mutex> guard(h->core->lock);
        if (handleDead(*h))
            return ZK_HID_ERR_NO_DEVICE;
        disconnected = receiveLocked(*h->core, payload, Clock::now());
    }
    if (disconnected) {
        finishUnplug(h->core);
        return ZK_HID_ERR_NO_DEVICE;
    }
    *count = length;
    return ZK_HID_OK;
}

int simRead(void* handle, uint8_t* report, size_t capacity, int timeoutMs, size_t* count) {
    *count = 0;
    std::shared_ptr<Handle> h = findHandle(handle);
    if (!h)
        return ZK_HID_ERR_NO_DEVICE;
    Core& core = *h->core;
    const bool forever = timeoutMs < 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::vector<uint8_t> input;
    bool disconnected = false;
    int rc = ZK_HID_ERR_TIMEOUT;
    {
        std::unique_lock<std::mutex> guard(core.lock);
        for (;;) {
            if (handleDead(*h)) {
                rc = ZK_HID_ERR_NO_DEVICE;
                break;
            }
            auto now = Clock::now();
            Clock::time_point wakeAt;
            if (takeLocked(core, &input, now, &wakeAt, &disconnected)) {
                rc = ZK_HID_OK;
                break;
            }
            if (disconnected) {
                rc = ZK_HID_ERR_NO_DEVICE;
                break;
            }
            if (!forever && now >= deadline)
                break;
            if (forever && wakeAt == Clock::time_point::max())
                core.changed.wait(guard);
            else
                core.changed.wait_until(guard, forever ? wakeAt : std::min(wakeAt, deadline));
        }
    }
    if (disconnected)
        finishUnplug(h->core);
    if (rc == ZK_HID_OK) {
        size_t n = std::min(input.size(), capacity);
        std::memcpy(report, input.data(), n);
        *count = n;
    }
    return rc;
}

void simClose(void* handle) {
    std::shared_ptr<Handle> h;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find((uintptr_t)handle);
        if (it == g_handles.end())
            return;
        h = it->second;
        g_handles.erase(it);
    }
    h->closed.store(true);
    // Wake a read waiting on this handle; it holds its own reference.
    std::lock_guard<std::mutex> guard(h->core->lock);
    h->core->changed.notify_all();
}

const ZK_HidBackend g_simBackend = {
    .name = "sim",
    .enumerate = simEnumerate,
    .ownsPath = simOwnsPath,
    .open = simOpen,
    .write = simWrite,
    .read = simRead,
    .close = simClose,
};

} // namespace

std::string pathOf(const std::string& name) {
    return kPrefix + name + "#vid_0416&pid_b500";
}

void backendRegister() {
    ZK_Hid_registerBackend(&g_simBackend);
}

void backendAdd(const std::shared_ptr<Core>& core) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (std::find(g_plugged.begin(), g_plugged.end(), core) == g_plugged.end())
        g_plugged.push_back(core);
}

void backendRemove(const std::shared_ptr<Core>& core) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_plugged.erase(std::remove(g_plugged.begin(), g_plugged.end(), core), g_plugged.end());
}

bool backendNameInUse(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& weak : g_live) {
        auto core = weak.lock();
        if (core && core->name == name)
            return true;
    }
    return false;
}

void backendTrack(const std::shared_ptr<Core>& core) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                                [](const std::weak_ptr<Core>& w) { return w.expired(); }),
                 g_live.end());
    g_live.push_back(core);
}

void backendUntrack(const Core* core) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_live.erase(std::remove_if(g_live.begin(), g_live.end(),
                                [core](const std::weak_ptr<Core>& w) {
                                    auto c = w.lock();
                                    return !c || c.get() == core;
                                }),
                 g_live.end());
}

void fireHotplug(const std::string& path, bool arrived) {
    SimHotplugCallback callback;
    void* user;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        callback = g_hotplug;
        user = g_hotplugUser;
    }
    if (callback)
        callback(user, path.c_str(), arrived);
}

} // namespace sim

void ZK_Sim_setHotplugCallback(SimHotplugCallback callback, void* user) {
    std::lock_guard<std::mutex> guard(sim::g_lock);
    sim::g_hotplug = callback;
    sim::g_hotplugUser = user;
}
