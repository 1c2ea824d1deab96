// korvana-cli: inspect packages, and read, update and configure the device.
#include "cli.h"

#include "app/core/session.h"

#include "support/log.h"

#include <cstdio>
#include <exception>

namespace {

int run(int argc, char** argv) {
    CliContext ctx;
    CLI::App app{"Korvana Update: updates and configures the GPS speed-camera warner"};
    app.set_version_flag("--version", "korvana-cli tool version " +
                                          std::to_string(KORVANA_TOOL_VERSION) + " (client " +
                                          KORVANA_CLIENT_TAG + ")");
    app.require_subcommand(1);
    app.fallthrough();

    auto* simulate =
        app.add_option("--simulate", ctx.simFlashFile,
                       "Use a simulated device instead of hardware; with =FILE its flash "
                       "is kept in FILE between runs")
            ->expected(0, 1);
    app.add_option("--sim-profile", ctx.simProfile,
                   "Profile of the simulated device (new-502, new-legacy, no-main-setting, "
                   "refused-client, blank)");
    app.add_option("--sim-fault", ctx.simFaults,
                   "Make the simulated device fail, for testing: KIND[:CODE[:SKIP]] with KIND "
                   "no-reply, bad-signature, bad-header, bad-checksum, status, short or delay "
                   "(the next command with CODE, after SKIP of them), or disconnect:REPORTS")
        ->group("Testing");
    app.add_option("--device", ctx.devicePath,
                   "Path of the device to use when several are attached (see 'devices')");
    bool verbose = false;
    app.add_flag("--verbose,-v", verbose, "Print the diagnostic log lines on standard output");

    // Runs after the options are stored and before any subcommand's callback.
    app.parse_complete_callback([&ctx, simulate, &verbose] {
        ctx.simulate = simulate->count() > 0;
        // The diagnostics are for developers; by default they would only get in
        // the way of the output (and of --json).
        ZK_App_initProcess(verbose ? ZK_Log_consoleSink : nullptr, nullptr);
    });

    KorvanaCli_addPackageCommands(app, ctx);
    KorvanaCli_addDeviceCommands(app, ctx);
    KorvanaCli_addUpdateCommands(app, ctx);
    KorvanaCli_addDiscoveryCommands(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? CLI_EXIT_OK : CLI_EXIT_USAGE;
    }
    if (ctx.simSaveFailed && ctx.exitCode == CLI_EXIT_OK)
        return CLI_EXIT_FAILED;
    return ctx.exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // Anything unexpected (out of memory above all) ends with a message and a
    // failure code, not with an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvana-cli: %s\n", e.what());
        return 1;
    }
}
