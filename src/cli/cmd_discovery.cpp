// Discovery commands: devices (what is attached now) and watch (follow
// arrivals and removals as the main window does, one status line per change).
#include "cli.h"
#include "session.h"

#include "app/core/client.h"
#include "app/core/status.h"
#include "device/detect.h"
#include "device/link.h"
#include "platform/hid.h"
#include "platform/storage.h"
#include "sim.h"
#include "support/log.h"
#include "support/timer.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int HID_LIST_CAPACITY = 16;

// Diagnostics go to stderr here: stdout carries the listing or the status lines.
void stderrSink(void*, const char* file, int line, const char* function, int, int level,
                const char* text) {
    std::fprintf(stderr, "[%8s][%5d][%20s][%s]: %s\n", file, line, function,
                 ZK_Log_levelName(level), text);
}

// Under a test root nothing is ejected: the request is told on stderr instead.
int ejectDryRun(void*, const ZK_BlockDisk* disk, const ZK_MountEntry* mount) {
    std::fprintf(stderr, "eject requested: %s (mounted %s at %s); not done under --sys-root\n",
                 disk->devnode, mount ? mount->devnode : "-", mount ? mount->mountPoint : "-");
    return ZK_STORAGE_OK;
}

const ZK_StorageOps* storageOpsFor(const std::string& root) {
    static ZK_StorageOps dryRun;
    if (root.empty() || root == "/")
        return ZK_Storage_systemOps();
    dryRun = *ZK_Storage_systemOps();
    dryRun.eject = ejectDryRun;
    return &dryRun;
}

// ---------------------------------------------------------------- devices

struct DevicesArgs {
    bool json = false;
    std::string sysRoot = "/";
};

int runDevices(const CliContext& ctx, const DevicesArgs& args) {
    ZK_Log_setSink(args.json ? nullptr : stderrSink, nullptr);
    SimDevice* sim = nullptr;
    if (ctx.simulate) {
        sim = KorvanaCli_startSimulator(ctx);
        if (!sim)
            return CLI_EXIT_USAGE;
    }

    std::vector<ZK_HidDeviceInfo> hid(HID_LIST_CAPACITY);
    int n =
        ZK_Hid_enumerate(ZK_DEVICE_VENDOR_ID, ZK_DEVICE_PRODUCT_ID, hid.data(), HID_LIST_CAPACITY);
    if (n < 0) {
        std::fprintf(stderr, "HID interfaces cannot be listed: %s\n", ZK_Hid_describe(n));
        n = 0;
    }
    hid.resize((size_t)std::min(n, HID_LIST_CAPACITY));
    std::erase_if(hid, [](const ZK_HidDeviceInfo& d) { return !ZK_Detect_matchHidPath(d.path); });

    std::vector<ZK_DiskForm> disks(ZK_STORAGE_MAX_DISKS);
    int d = ZK_Detect_listDiskForms(args.sysRoot.c_str(), storageOpsFor(args.sysRoot), disks.data(),
                                    ZK_STORAGE_MAX_DISKS);
    if (d < 0) {
        std::fprintf(stderr, "Disks cannot be listed: %s\n", ZK_Storage_describe(d));
        d = 0;
    }
    disks.resize((size_t)d);
    KorvanaCli_stopSimulator(ctx, sim);

    if (args.json) {
        nlohmann::json doc = {{"hid", nlohmann::json::array()}, {"disks", nlohmann::json::array()}};
        for (const auto& h : hid)
            doc["hid"].push_back({{"path", h.path}, {"backend", h.backend}});
        for (const auto& f : disks) {
            char vendor[ZK_STORAGE_TEXT_CAPACITY];
            ZK_Detect_normalizeVendor(f.disk.vendor, vendor, sizeof vendor);
            nlohmann::json disk = {{"name", f.disk.name},
                                   {"devnode", f.disk.devnode},
                                   {"vendor", vendor},
                                   {"mounted", f.mounted != 0}};
            if (f.mounted) {
                disk["mountPoint"] = f.mount.mountPoint;
                disk["mountDevice"] = f.mount.devnode;
            }
            doc["disks"].push_back(disk);
        }
        std::printf("%s\n",
                    doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        for (const auto& h : hid)
            std::printf("hid   %-7s %s\n", h.backend, h.path);
        for (const auto& f : disks)
            std::printf("disk  %-7s %s\n", f.disk.devnode,
                        f.mounted ? f.mount.mountPoint : "(not mounted)");
        if (hid.empty() && disks.empty())
            std::fprintf(stderr, "%s\n", ZK_TEXT_NO_HARDWARE);
    }
    return hid.empty() && disks.empty() ? CLI_EXIT_FAILED : CLI_EXIT_OK;
}

// ---------------------------------------------------------------- watch

struct WatchArgs {
    std::string sysRoot = "/";
    int exitAfter = 0;   // status lines; 0: until interrupted
    double timeoutS = 0; // 0: no bound
    uint32_t simReplugMs = 0;
};

enum WatchItemKind { ITEM_NOTIFICATION, ITEM_DELAYED_SEARCH };

struct WatchItem {
    WatchItemKind kind;
    ZK_DeviceNotification notification;
};

// The window's message queue: other threads post, the watch loop takes.
struct WatchQueue {
    std::mutex lock;
    std::deque<WatchItem> items;
    int wakeFd = -1;

    void post(const WatchItem& item) {
        {
            std::lock_guard<std::mutex> guard(lock);
            items.push_back(item);
        }
        uint64_t one = 1;
        while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    std::deque<WatchItem> takeAll() {
        uint64_t count;
        while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::lock_guard<std::mutex> guard(lock);
        std::deque<WatchItem> out;
        out.swap(items);
        return out;
    }
};

void receiveNotification(void* user, const ZK_DeviceNotification* n) {
    WatchItem item{ITEM_NOTIFICATION, *n};
    static_cast<WatchQueue*>(user)->post(item);
}

// Runs on a timer-pool thread: the search itself runs on the watch loop's
// thread, which owns the link.
void postDelayedSearch(void* user) {
    WatchItem item{ITEM_DELAYED_SEARCH, {}};
    static_cast<WatchQueue*>(user)->post(item);
}

// Testing aid: unplugs and plugs the simulated device on the timer service.
struct Replugger {
    std::mutex lock;
    bool stopping = false;
    SimDevice* sim = nullptr;
    uint32_t periodMs = 0;
};

void replugTick(void* user) {
    auto* r = static_cast<Replugger*>(user);
    std::lock_guard<std::mutex> guard(r->lock);
    if (r->stopping)
        return;
    if (ZK_Sim_isPlugged(r->sim))
        ZK_Sim_unplug(r->sim);
    else
        ZK_Sim_plug(r->sim);
    if (!ZK_Timer_after(replugTick, r->periodMs, r))
        ZK_LOG("cannot schedule the next replug");
}

// The watch loop as the window: the application core's device status, its
// title printed as a line for every refresh.
class Watcher : public StatusHost {
  public:
    Watcher(const WatchArgs& args, DeviceLink* link, WatchQueue& queue)
        : args_(args), queue_(queue),
          status_(link, *this, args.sysRoot.c_str(), storageOpsFor(args.sysRoot)) {}

    DeviceStatus& status() { return status_; }

    void statusChanged(const StatusView& view) override {
        std::printf("%s\n", view.title.c_str());
        std::fflush(stdout);
        ++lines_;
    }
    bool scheduleDelayedSearch(uint32_t ms) override {
        if (ZK_Timer_after(postDelayedSearch, ms, &queue_))
            return true;
        std::fprintf(stderr, "watch: cannot schedule the delayed search\n");
        return false;
    }
    void attachProblem(int attachResult, int hidResult) override {
        if (attachResult == ZK_ATTACH_OPEN_FAILED)
            std::fprintf(stderr, "The device cannot be opened: %s\n", ZK_Hid_describe(hidResult));
        else if (attachResult == ZK_ATTACH_REFUSED)
            std::fprintf(stderr, "The device belongs to another client; it was refused.\n");
    }
    void diskFormFound(const ZK_DiskProbe& probe) override {
        std::fprintf(stderr, "Disk form found on %s (%s): marker %s, eject %s\n",
                     probe.disk.devnode, probe.mount.mountPoint,
                     ZK_Storage_describe(probe.markerResult),
                     ZK_Storage_describe(probe.ejectResult));
    }

    void handle(const WatchItem& item) {
        if (item.kind == ITEM_DELAYED_SEARCH)
            status_.delayedSearch();
        else
            status_.notification(item.notification);
    }

    bool done() const { return args_.exitAfter > 0 && lines_ >= args_.exitAfter; }

  private:
    const WatchArgs& args_;
    WatchQueue& queue_;
    DeviceStatus status_;
    int lines_ = 0;
};

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int runWatch(const CliContext& ctx, const WatchArgs& args) {
    ZK_Log_setSink(stderrSink, nullptr);
    if (args.simReplugMs && !ctx.simulate) {
        std::fprintf(stderr, "--sim-replug needs --simulate\n");
        return CLI_EXIT_USAGE;
    }
    // Signals are taken by the loop below, so every thread started from here
    // on must have them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &signals, &previousMask);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    WatchQueue queue;
    queue.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalFd < 0 || queue.wakeFd < 0) {
        std::fprintf(stderr, "watch: cannot set up its event loop: %s\n", std::strerror(errno));
        if (signalFd >= 0)
            close(signalFd);
        if (queue.wakeFd >= 0)
            close(queue.wakeFd);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return CLI_EXIT_FAILED;
    }

    SimDevice* sim = nullptr;
    int rc = CLI_EXIT_OK;
    DeviceLink* link = nullptr;
    ZK_DetectRegistration* registration = nullptr;
    Replugger replugger;
    if (ctx.simulate) {
        sim = KorvanaCli_startSimulator(ctx);
        if (!sim)
            rc = CLI_EXIT_USAGE;
    }
    if (rc == CLI_EXIT_OK) {
        // As the window's initialisation: notifications, timers, the link.
        int udev = 0;
        registration = ZK_Detect_registerNotifications(receiveNotification, &queue, 1, &udev);
        if (!registration) {
            std::fprintf(stderr, "Device changes cannot be followed (udev monitor: %d)%s\n", udev,
                         ctx.simulate ? "; following the simulated device only" : "");
            registration = ctx.simulate
                               ? ZK_Detect_registerNotifications(receiveNotification, &queue, 0)
                               : nullptr;
            if (!registration)
                rc = CLI_EXIT_FAILED;
        }
    }
    if (rc == CLI_EXIT_OK) {
        ZK_Timer_start();
        link = ZK_Link_create(IsDeviceClientAccepted, nullptr, nullptr, nullptr);
        if (!link) {
            std::fprintf(stderr, "Error\n");
            rc = CLI_EXIT_FAILED;
        }
    }

    if (rc == CLI_EXIT_OK) {
        Watcher watcher(args, link, queue);
        watcher.status().start();
        if (sim && args.simReplugMs) {
            replugger.sim = sim;
            replugger.periodMs = args.simReplugMs;
            if (!ZK_Timer_after(replugTick, args.simReplugMs, &replugger))
                std::fprintf(stderr, "watch: cannot schedule the replug\n");
        }

        const int64_t deadline =
            args.timeoutS > 0 ? monotonicMs() + (int64_t)(args.timeoutS * 1000) : 0;
        while (!watcher.done()) {
            int waitMs = -1;
            if (deadline) {
                int64_t left = deadline - monotonicMs();
                if (left <= 0)
                    break;
                waitMs = (int)std::min<int64_t>(left, 60000);
            }
            struct pollfd fds[2] = {{.fd = signalFd, .events = POLLIN, .revents = 0},
                                    {.fd = queue.wakeFd, .events = POLLIN, .revents = 0}};
            int ready = poll(fds, 2, waitMs);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "watch: poll failed: %s\n", std::strerror(errno));
                rc = CLI_EXIT_FAILED;
                break;
            }
            if (ready > 0 && fds[0].revents) {
                // Taken here, so that it is not delivered once the mask is restored.
                struct signalfd_siginfo info;
                while (read(signalFd, &info, sizeof info) < 0 && errno == EINTR) {
                }
                break; // SIGINT or SIGTERM: the clean shutdown below
            }
            if (ready > 0 && fds[1].revents) {
                for (const WatchItem& item : queue.takeAll()) {
                    watcher.handle(item);
                    if (watcher.done())
                        break;
                }
            }
        }
    }

    // As the window's destruction: no more events, timers, then the link.
    {
        std::lock_guard<std::mutex> guard(replugger.lock);
        replugger.stopping = true;
    }
    ZK_Detect_unregisterNotifications(registration);
    ZK_Timer_shutdown();
    ZK_Link_release(link);
    KorvanaCli_stopSimulator(ctx, sim);
    close(signalFd);
    close(queue.wakeFd);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return rc;
}

} // namespace

void KorvanaCli_addDiscoveryCommands(CLI::App& app, CliContext& ctx) {
    auto devices = std::make_shared<DevicesArgs>();
    auto* devicesCmd = app.add_subcommand(
        "devices", "List the device's HID interfaces and removable disks in its disk form");
    devicesCmd->add_flag("--json", devices->json, "Print JSON instead of text");
    devicesCmd
        ->add_option("--sys-root", devices->sysRoot,
                     "Read sysfs and the mount table under this folder (testing)")
        ->group("Testing");
    devicesCmd->callback([&ctx, devices] { ctx.exitCode = runDevices(ctx, *devices); });

    auto watch = std::make_shared<WatchArgs>();
    auto* watchCmd = app.add_subcommand(
        "watch", "Follow the device's arrivals and removals, printing the window's status line "
                 "for each change (until Ctrl-C)");
    watchCmd->add_option("--exit-after", watch->exitAfter, "End after this many status lines")
        ->check(CLI::NonNegativeNumber);
    watchCmd->add_option("--timeout", watch->timeoutS, "End after this many seconds")
        ->check(CLI::NonNegativeNumber);
    watchCmd
        ->add_option("--sys-root", watch->sysRoot,
                     "Read sysfs and the mount table under this folder; ejects are only told "
                     "(testing)")
        ->group("Testing");
    watchCmd
        ->add_option("--sim-replug", watch->simReplugMs,
                     "With --simulate: unplug and plug the simulated device every MS "
                     "milliseconds (testing)")
        ->check(CLI::Range(1u, 3600000u))
        ->group("Testing");
    watchCmd->callback([&ctx, watch] { ctx.exitCode = runWatch(ctx, *watch); });
}
