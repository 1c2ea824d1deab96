// The simulator's public face: devices, their flash image and file, traffic,
// faults, and the report engine for bridges.
#include "sim_internal.h"

#include "support/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using sim::Clock;
using sim::Core;

namespace {

constexpr uint32_t kMaxFlashSize = 0x10000000; // 256 MiB

// Moves all `size` bytes with read or write, going on after a signal. False
// on an error or an early end.
template <class Io, class Bytes> bool moveAll(int fd, Bytes* data, size_t size, Io io) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = io(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool readWhole(const std::string& path, std::vector<uint8_t>& image, bool* exists) {
    *exists = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    *exists = true;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size == image.size();
    ok = ok && moveAll(fd, image.data(), image.size(), read);
    close(fd);
    return ok;
}

// Writes the image beside the file and renames it over, so that a crash
// leaves either the old or the new image.
bool writeAtomically(const std::string& path, const std::vector<uint8_t>& image) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    bool ok = moveAll(fd, image.data(), image.size(), write);
    ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(name.data(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(name.data());
    return ok;
}

bool saveLocked(const Core& core) {
    if (core.flashFile.empty())
        return true;
    if (writeAtomically(core.flashFile, core.flash))
        return true;
    ZK_LOG("cannot save the simulated flash to %s: %s", core.flashFile.c_str(),
           std::strerror(errno));
    return false;
}

} // namespace

namespace sim {

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

SimDevice* ZK_Sim_create(const SimConfig& config) {
    std::string name = config.name ? config.name : "";
    if (name.empty() || name.find('#') != std::string::npos || name.size() > 200) {
        ZK_LOG("bad simulated device name");
        return nullptr;
    }
    if (config.flashSize == 0 || config.flashSize % sim::kSectorSize != 0 ||
        config.flashSize > kMaxFlashSize) {
        ZK_LOG("bad simulated flash size 0x%X", config.flashSize);
        return nullptr;
    }
    if (sim::backendNameInUse(name)) {
        ZK_LOG("a simulated device named %s already exists", name.c_str());
        return nullptr;
    }
    auto core = std::make_shared<Core>();
    core->name = name;
    core->bootVersion = config.bootVersion;
    core->flashSize = config.flashSize;
    core->flashFile = config.flashFile ? config.flashFile : "";
    core->flash.assign(config.flashSize, 0xFF);

    bool fromFile = false;
    if (!core->flashFile.empty()) {
        if (!readWhole(core->flashFile, core->flash, &fromFile)) {
            ZK_LOG("flash file %s is unreadable or not 0x%X bytes", core->flashFile.c_str(),
                   config.flashSize);
            return nullptr;
        }
    }
    // A kept image is the device's state; the profile only makes a new one.
    std::string profile = config.profile ? config.profile : "blank";
    if (!fromFile) {
        if (!sim::buildProfile(profile, core->flash)) {
            ZK_LOG("unknown simulator profile %s", profile.c_str());
            return nullptr;
        }
    } else {
        bool known = false;
        for (const std::string& p : sim::profileNames())
            known = known || p == profile;
        if (!known) {
            ZK_LOG("unknown simulator profile %s", profile.c_str());
            return nullptr;
        }
    }
    // A new file is written at once, so that a path that cannot take it
    // fails here and not silently at the end of the run.
    if (!fromFile && !saveLocked(*core))
        return nullptr;
    sim::backendRegister();
    sim::backendTrack(core);
    return new SimDevice{core};
}

void ZK_Sim_destroy(SimDevice* device) {
    if (!device)
        return;
    sim::unplugCore(device->core);
    {
        std::lock_guard<std::mutex> guard(device->core->lock);
        saveLocked(*device->core);
    }
    sim::backendUntrack(device->core.get());
    delete device; // open handles keep the core until they are closed
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
}

int ZK_Sim_saveFlash(SimDevice* device) {
    if (!device)
        return 0;
    std::lock_guard<std::mutex> guard(device->core->lock);
    if (device->core->flashFile.empty())
        return 0;
    return saveLocked(*device->core) ? 1 : 0;
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
