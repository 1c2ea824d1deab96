// The simulator's public face: devices, their flash image and file, traffic,
// faults, and the report engine for bridges.
#include "sim_internal.h"

#include "support/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using sim::Clock;
using sim::Core;

namespace {

constexpr uint32_t kMaxFlashSize = 0x10000000; // 256 MiB

// Opens (or creates) the flash file and takes its lock. The fd, or -1 with
// *why set. Never blocks on a FIFO; only a regular file is taken.
int openFlashFile(const std::string& path, int waitMs, bool* readOnly, std::string* why) {
    *readOnly = false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        *readOnly = fd >= 0;
    }
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = path + ": not a regular file";
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    // Another tool on the same device: wait a little, as for a busy hidraw node.
    for (int waited = 0;; waited += 50) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK || waited >= waitMs)
            break;
        usleep(50 * 1000);
    }
    *why = path + ": the simulated device is in use by another process";
    close(fd);
    return -1;
}

// Moves `length` bytes at `offset` with pread or pwrite, going on after a
// signal. False on an error or an early end (errno ENOSPC for a write that
// moved nothing).
template <class Io, class Bytes>
bool moveAt(int fd, Bytes* data, uint64_t length, uint64_t offset, Io io) {
    for (uint64_t done = 0; done < length;) {
        ssize_t n = io(fd, data + done, length - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += (uint64_t)n;
    }
    return true;
}

void closeFlashFile(Core& core) {
    if (core.flashFd >= 0)
        close(core.flashFd); // drops the lock
    core.flashFd = -1;
}

} // namespace

namespace sim {

bool storeLocked(Core& core, uint64_t address, uint64_t length) {
    if (core.flashFile.empty())
        return true;
    if (core.flashFd >= 0 && core.flashReadOnly) {
        errno = EACCES;
    } else if (core.flashFd >= 0 &&
               moveAt(core.flashFd, core.flash.data() + address, length, address, pwrite)) {
        return true;
    }
    if (core.flashSaveErrno == 0) {
        core.flashSaveErrno = errno ? errno : EIO;
        ZK_LOG("cannot write the simulated flash to %s: %s", core.flashFile.c_str(),
               std::strerror(core.flashSaveErrno));
    }
    return false;
}

void plugCore(const std::shared_ptr<Core>& core) {
    std::lock_guard<std::mutex> order(core->plugLock);
    {
        std::lock_guard<std::mutex> guard(core->lock);
        if (core->plugged)
            return;
        resetExchangeLocked(*core);
        core->plugged = true;
        ++core->generation;
    }
    backendAdd(core);
    fireHotplug(pathOf(core->name), true);
}

void finishUnplug(const std::shared_ptr<Core>& core) {
    backendRemove(core);
    fireHotplug(pathOf(core->name), false);
}

void unplugCore(const std::shared_ptr<Core>& core) {
    std::lock_guard<std::mutex> order(core->plugLock);
    {
        std::lock_guard<std::mutex> guard(core->lock);
        if (!core->plugged)
            return;
        resetExchangeLocked(*core);
        core->plugged = false;
        ++core->generation;
        core->changed.notify_all();
    }
    finishUnplug(core);
}

} // namespace sim

std::vector<std::string> ZK_Sim_profileNames() {
    return sim::profileNames();
}

SimDevice* ZK_Sim_create(const SimConfig& config, std::string* why) {
    std::string reason;
    auto fail = [&](const std::string& text) -> SimDevice* {
        ZK_LOG("%s", text.c_str());
        if (why)
            *why = text;
        return nullptr;
    };
    std::string name = config.name ? config.name : "";
    if (name.empty() || name.find('#') != std::string::npos || name.size() > 200)
        return fail("bad simulated device name");
    if (config.flashSize == 0 || config.flashSize % sim::kSectorSize != 0 ||
        config.flashSize > kMaxFlashSize) {
        char text[64];
        std::snprintf(text, sizeof text, "bad simulated flash size 0x%X", config.flashSize);
        return fail(text);
    }
    if (sim::backendNameInUse(name))
        return fail("a simulated device named " + name + " already exists");
    std::string profile = config.profile ? config.profile : "blank";
    bool known = false;
    for (const std::string& p : sim::profileNames())
        known = known || p == profile;
    if (!known)
        return fail("unknown simulator profile " + profile);

    auto core = std::make_shared<Core>();
    core->name = name;
    core->bootVersion = config.bootVersion;
    core->flashSize = config.flashSize;
    core->flashFile = config.flashFile ? config.flashFile : "";
    core->flash.assign(config.flashSize, 0xFF);

    bool fromFile = false;
    if (!core->flashFile.empty()) {
        core->flashFd =
            openFlashFile(core->flashFile, config.lockWaitMs, &core->flashReadOnly, &reason);
        if (core->flashFd < 0)
            return fail(reason);
        struct stat st;
        if (fstat(core->flashFd, &st) != 0) {
            closeFlashFile(*core);
            return fail(core->flashFile + ": " + std::strerror(errno));
        }
        fromFile = st.st_size != 0;
        if (fromFile && ((uint64_t)st.st_size != config.flashSize ||
                         !moveAt(core->flashFd, core->flash.data(), config.flashSize, 0, pread))) {
            char text[64];
            std::snprintf(text, sizeof text, " is unreadable or not 0x%X bytes", config.flashSize);
            closeFlashFile(*core);
            return fail(core->flashFile + text);
        }
    }
    // A kept image is the device's state; the profile only makes a new one.
    if (!fromFile)
        (void)sim::buildProfile(profile, core->flash);
    // A new file is written at once, so that a path that cannot take it
    // fails here and not at the end of the run.
    if (!fromFile && !core->flashFile.empty() && !sim::storeLocked(*core, 0, core->flash.size())) {
        std::string text = core->flashFile + ": " + std::strerror(core->flashSaveErrno);
        closeFlashFile(*core);
        return fail(text);
    }
    sim::backendRegister();
    sim::backendTrack(core);
    return new SimDevice{core};
}

int ZK_Sim_destroy(SimDevice* device, std::string* why) {
    if (!device)
        return 1;
    sim::unplugCore(device->core);
    int ok = 1;
    {
        std::lock_guard<std::mutex> guard(device->core->lock);
        Core& core = *device->core;
        if (core.flashFd >= 0 && !core.flashReadOnly && fsync(core.flashFd) != 0 &&
            core.flashSaveErrno == 0)
            core.flashSaveErrno = errno;
        if (core.flashSaveErrno != 0) {
            ok = 0;
            if (why)
                *why = "cannot save the simulated flash to " + core.flashFile + ": " +
                       std::strerror(core.flashSaveErrno);
        }
        closeFlashFile(core);
    }
    sim::backendUntrack(device->core.get());
    delete device; // open handles keep the core until they are closed
    return ok;
}

void ZK_Sim_registerBackend() {
    sim::backendRegister();
}

void ZK_Sim_plug(SimDevice* device) {
    if (device)
        sim::plugCore(device->core);
}

void ZK_Sim_unplug(SimDevice* device) {
    if (device)
        sim::unplugCore(device->core);
}

bool ZK_Sim_isPlugged(const SimDevice* device) {
    if (!device)
        return false;
    std::lock_guard<std::mutex> guard(device->core->lock);
    return device->core->plugged;
}

std::string ZK_Sim_path(const SimDevice* device) {
    return device ? sim::pathOf(device->core->name) : std::string();
}

uint32_t ZK_Sim_flashSize(const SimDevice* device) {
    return device ? device->core->flashSize : 0;
}

std::vector<uint8_t> ZK_Sim_readFlash(const SimDevice* device, uint32_t address, uint32_t length) {
    if (!device)
        return {};
    const Core& core = *device->core;
    std::lock_guard<std::mutex> guard(core.lock);
    if (address >= core.flashSize)
        return {};
    uint32_t n = std::min(length, core.flashSize - address);
    return std::vector<uint8_t>(core.flash.begin() + address, core.flash.begin() + address + n);
}

void ZK_Sim_writeFlash(SimDevice* device, uint32_t address, const void* data, uint32_t length) {
    if (!device || !data)
        return;
    Core& core = *device->core;
    std::lock_guard<std::mutex> guard(core.lock);
    if (address >= core.flashSize)
        return;
    uint32_t n = std::min(length, core.flashSize - address);
    std::memcpy(core.flash.data() + address, data, n);
    (void)sim::storeLocked(core, address, n);
}

int ZK_Sim_saveFlash(SimDevice* device) {
    if (!device)
        return 0;
    std::lock_guard<std::mutex> guard(device->core->lock);
    Core& core = *device->core;
    if (core.flashFile.empty() || core.flashFd < 0)
        return 0;
    return sim::storeLocked(core, 0, core.flash.size()) && fsync(core.flashFd) == 0 ? 1 : 0;
}

size_t ZK_Sim_pendingInputs(const SimDevice* device) {
    if (!device)
        return 0;
    std::lock_guard<std::mutex> guard(device->core->lock);
    auto now = Clock::now();
    size_t n = 0;
    for (const auto& r : device->core->output)
        n += r.readyAt <= now;
    return n;
}

std::vector<SimTraffic> ZK_Sim_traffic(const SimDevice* device) {
    if (!device)
        return {};
    std::lock_guard<std::mutex> guard(device->core->lock);
    return device->core->traffic;
}

void ZK_Sim_clearTraffic(SimDevice* device) {
    if (!device)
        return;
    Core& core = *device->core;
    std::lock_guard<std::mutex> guard(core.lock);
    core.traffic.clear();
    core.trafficIndex = SIZE_MAX; // an exchange in progress records no further
    std::vector<uint8_t>().swap(core.raw);
}

std::vector<std::vector<uint8_t>> ZK_Sim_rawReports(const SimDevice* device) {
    std::vector<std::vector<uint8_t>> reports;
    if (!device)
        return reports;
    const Core& core = *device->core;
    std::lock_guard<std::mutex> guard(core.lock);
    for (size_t at = 0; at + sim::kReportSize <= core.raw.size(); at += sim::kReportSize)
        reports.emplace_back(core.raw.begin() + at, core.raw.begin() + at + sim::kReportSize);
    return reports;
}

void ZK_Sim_setRawCaptureLimit(SimDevice* device, size_t reports) {
    if (!device)
        return;
    std::lock_guard<std::mutex> guard(device->core->lock);
    device->core->rawLimit = reports;
}

void ZK_Sim_injectFault(SimDevice* device, const SimFault& fault) {
    if (!device || fault.kind == SIM_FAULT_NONE)
        return;
    std::lock_guard<std::mutex> guard(device->core->lock);
    device->core->faults.push_back(fault);
}

void ZK_Sim_clearFaults(SimDevice* device) {
    if (!device)
        return;
    std::lock_guard<std::mutex> guard(device->core->lock);
    device->core->faults.clear();
}

void ZK_Sim_receiveReport(SimDevice* device, const uint8_t* report, size_t length) {
    if (!device || !report)
        return;
    // 65 bytes carry the report id first; a bridge without ids gives 64.
    uint8_t payload[sim::kPayloadSize] = {};
    const uint8_t* from = length >= sim::kReportSize ? report + 1 : report;
    size_t n = length >= sim::kReportSize ? sim::kPayloadSize : std::min(length, sim::kPayloadSize);
    std::memcpy(payload, from, n);
    bool disconnected;
    {
        std::lock_guard<std::mutex> guard(device->core->lock);
        disconnected = sim::receiveLocked(*device->core, payload, Clock::now());
    }
    if (disconnected)
        sim::finishUnplug(device->core);
}

bool ZK_Sim_waitReport(SimDevice* device, std::vector<uint8_t>* report, int timeoutMs) {
    if (!device || !report)
        return false;
    Core& core = *device->core;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    bool disconnected = false, got = false;
    {
        std::unique_lock<std::mutex> guard(core.lock);
        for (;;) {
            auto now = Clock::now();
            Clock::time_point wakeAt;
            got = sim::takeLocked(core, report, now, &wakeAt, &disconnected);
            if (got || disconnected || now >= deadline)
                break;
            core.changed.wait_until(guard, std::min(wakeAt, deadline));
        }
    }
    if (disconnected)
        sim::finishUnplug(device->core);
    return got;
}

bool ZK_Sim_takeReport(SimDevice* device, std::vector<uint8_t>* report) {
    return ZK_Sim_waitReport(device, report, 0);
}
