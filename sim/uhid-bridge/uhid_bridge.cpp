// korvana-uhid-bridge: puts the device simulator behind /dev/uhid, so that the
// kernel's hidraw node, hidapi and udev see a real HID device 0416:B500.
//
// Each UHID_OUTPUT (65 bytes, report id 0 first) goes to the simulator's
// report engine; each input report it produces goes back as UHID_INPUT2 with
// the 64 payload bytes, as the device's interrupt IN endpoint sends them.
//
// Flow control: uhid drops output reports when its 32-event queue is full,
// and hidraw keeps only 64 input reports per reader, while a real device
// paces both sides. So the bridge runs SCHED_FIFO while it waits for output
// (it takes each report at once) and drops to SCHED_IDLE while it sends a
// reply (the reader drains each report before the next one is sent). The
// kernel logs "Output queue is full" when a report was lost anyway.
//
// Runs until SIGINT/SIGTERM (or --lifetime), then destroys the device
// ("remove" uevent) and saves the simulated flash file.
#include "platform/hid.h"
#include "platform/uhid.h"
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Vendor page, one 64-byte input and one 64-byte output report, no report ids.
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,       // Usage (0x01)
    0xA1, 0x01,       // Collection (Application)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x09, 0x01,       //   Usage (0x01)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x95, 0x40,       //   Report Count (64)
    0x09, 0x01,       //   Usage (0x01)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xC0,             // End Collection
};

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string profile = "new-502";
    std::string flashFile;
    std::string name = "korvana-uhid";
    double lifetimeS = 0;
    bool quiet = false;
    bool realtime = true;
};

struct Scheduling {
    bool fifo = false; // SCHED_FIFO could be had at start
    bool idle = false; // SCHED_IDLE now
    void waiting() {
        if (!fifo || !idle)
            return;
        struct sched_param p = {.sched_priority = 1};
        idle = sched_setscheduler(0, SCHED_FIFO, &p) != 0;
    }
    void sending() {
        if (!fifo || idle)
            return;
        struct sched_param p = {.sched_priority = 0};
        idle = sched_setscheduler(0, SCHED_IDLE, &p) == 0;
    }
};

double nowS() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--profile NAME] [--flash FILE] [--name NAME] [--lifetime SECONDS]\n"
                 "          [--no-realtime] [--quiet]\n",
                 argv0);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc && argv[i]; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--profile" && v)
            o.profile = argv[++i];
        else if (a == "--flash" && v)
            o.flashFile = argv[++i];
        else if (a == "--name" && v)
            o.name = argv[++i];
        else if (a == "--lifetime" && v)
            o.lifetimeS = std::atof(argv[++i]);
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--no-realtime")
            o.realtime = false;
        else {
            usage(argv[0]);
            return 2;
        }
    }

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal; // no SA_RESTART: poll returns EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    SimConfig config;
    config.name = o.name.c_str();
    config.profile = o.profile.c_str();
    config.flashFile = o.flashFile.empty() ? nullptr : o.flashFile.c_str();
    SimDevice* sim = ZK_Sim_create(config);
    if (!sim) {
        std::fprintf(stderr, "uhid-bridge: cannot create the simulated device (profile %s)\n",
                     o.profile.c_str());
        return 2;
    }
    ZK_Sim_setRawCaptureLimit(sim, 0);

    Scheduling sched;
    if (o.realtime) {
        // One CPU for the bridge; the tool beside it is paced by it.
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(0, &cpus);
        sched_setaffinity(0, sizeof cpus, &cpus);
        struct sched_param p = {.sched_priority = 1};
        sched.fifo = sched_setscheduler(0, SCHED_FIFO, &p) == 0;
        if (!sched.fifo)
            std::fprintf(stderr, "uhid-bridge: no SCHED_FIFO (%s); reports may be lost\n",
                         std::strerror(errno));
    }

    ZK_UhidConfig uc{o.name.c_str(), 0x0416, 0xB500, kReportDescriptor, sizeof kReportDescriptor};
    ZK_UhidDevice* dev = nullptr;
    int created = ZK_Uhid_create(&uc, &dev);
    if (created != ZK_HID_OK) {
        std::fprintf(stderr, "uhid-bridge: cannot create the device on /dev/uhid: %s\n",
                     ZK_Hid_describe(created));
        ZK_Sim_destroy(sim);
        return 1;
    }
    std::fprintf(stderr, "uhid-bridge: created 0416:b500 \"%s\" (profile %s%s%s)\n", o.name.c_str(),
                 o.profile.c_str(), o.flashFile.empty() ? "" : ", flash ", o.flashFile.c_str());

    const double start = nowS();
    unsigned long outputs = 0, inputs = 0;
    int rc = 0;
    std::vector<uint8_t> report, next;
    while (!g_stop) {
        int timeoutMs = 20; // delayed replies (fault injection) are picked up by this
        if (o.lifetimeS > 0 && nowS() - start >= o.lifetimeS)
            break;
        ZK_UhidEvent event;
        if (ZK_Uhid_poll(dev, timeoutMs, &event) != ZK_HID_OK) {
            std::fprintf(stderr, "uhid-bridge: reading /dev/uhid failed\n");
            rc = 1;
            break;
        }
        if (event.kind == ZK_UHID_OUTPUT) {
            ++outputs;
            ZK_Sim_receiveReport(sim, event.data, event.size);
        } else if (event.kind == ZK_UHID_STATE && !o.quiet) {
            std::fprintf(stderr, "uhid-bridge: %s\n", event.name);
        }
        // One report ahead: the last report of a reply goes out under
        // SCHED_FIFO again, so that the burst the tool writes next is taken
        // report by report and cannot fill uhid's queue.
        bool have = ZK_Sim_takeReport(sim, &report);
        while (have) {
            have = ZK_Sim_takeReport(sim, &next);
            if (have)
                sched.sending();
            else
                sched.waiting();
            // The report id stays behind: the interrupt endpoint sends the payload.
            if (ZK_Uhid_sendInput(dev, report.data() + (report.empty() ? 0 : 1),
                                  report.empty() ? 0 : report.size() - 1) != ZK_HID_OK) {
                std::fprintf(stderr, "uhid-bridge: sending an input report failed\n");
                rc = 1;
                g_stop = 1;
                break;
            }
            ++inputs;
            report.swap(next);
        }
    }

    ZK_Uhid_destroy(dev);
    ZK_Sim_destroy(sim); // saves the flash file
    std::fprintf(stderr, "uhid-bridge: destroyed after %lu output and %lu input reports\n", outputs,
                 inputs);
    return rc;
}
