// The device for one command: the application core's session, with the
// command line's options and texts.
#pragma once

#include "app/core/session.h"
#include "app/core/status.h"
#include "cli.h"

struct CliSession {
    AppSession app;
    DeviceLink*& link = app.link;
    const CliContext* ctx = nullptr; // told when the simulated flash could not be saved
    CliSession() = default;
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;
    ~CliSession(); // closes the session; a flash file that missed a change fails the run
};

// The session options of the global options (--simulate, --sim-profile,
// --sim-fault, --device).
SessionOptions KorvanaCli_sessionOptions(const CliContext& ctx);

// Creates the simulated device of --simulate, --sim-profile and --sim-fault
// and plugs it. None (with the reason on stderr) for a bad profile, flash
// file or fault text. Stop it with KorvanaCli_stopSimulator.
[[nodiscard]] SimDevice* KorvanaCli_startSimulator(const CliContext& ctx);
// Destroys it; a flash file that missed a change is reported on stderr and
// marks the run failed (ctx.simSaveFailed).
void KorvanaCli_stopSimulator(const CliContext& ctx, SimDevice* sim);

// Opens the session (with the given progress sink): the simulated device
// with --simulate, the one at --device, or the first that matches. On
// failure prints why on stderr and returns the exit code; CLI_EXIT_OK when
// attached and accepted.
// When the information read did not get an answer to every command: says
// which on stderr and returns true (its defaults would pass for the
// device's state, so the command must fail).
bool KorvanaCli_reportIncomplete(const CliSession& session);

int KorvanaCli_openSession(const CliContext& ctx, CliSession& session,
                           ZK_ProgressCallback progress = nullptr, void* progressUser = nullptr);
