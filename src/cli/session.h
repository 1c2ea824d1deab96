// The device for one command: simulated when asked, attached to a fresh link.
#pragma once

#include "cli.h"
#include "device/link.h"

struct SimDevice;

inline constexpr char KORVANA_CLI_NO_HARDWARE[] = "   No hardware connected!";

struct CliSession {
    SimDevice* sim = nullptr;
    DeviceLink* link = nullptr;
    const CliContext* ctx = nullptr; // told when the simulated flash could not be saved
    CliSession() = default;
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;
    ~CliSession(); // releases the link, then the simulated device (saving its flash file)
};

// Creates the simulated device of --simulate, --sim-profile and --sim-fault
// and plugs it. None (with the reason on stderr) for a bad profile, flash
// file or fault text. Destroy it with ZK_Sim_destroy.
[[nodiscard]] SimDevice* KorvanaCli_startSimulator(const CliContext& ctx);
// Destroys it; a flash file that missed a change is reported on stderr and
// marks the run failed (ctx.simSaveFailed).
void KorvanaCli_stopSimulator(const CliContext& ctx, SimDevice* sim);

// Creates the link (with the given progress sink) and attaches the device:
// the simulated one with --simulate, the one at --device, or the first that
// matches. On failure prints why on stderr and returns the exit code;
// CLI_EXIT_OK when attached and accepted.
int KorvanaCli_openSession(const CliContext& ctx, CliSession& session,
                           ZK_ProgressCallback progress = nullptr, void* progressUser = nullptr);
