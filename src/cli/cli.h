// korvana-cli: shared context of the command groups.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

// Exit codes of every command.
enum CliExit {
    CLI_EXIT_OK = 0,
    CLI_EXIT_FAILED = 1, // the device said no, or no device
    CLI_EXIT_USAGE = 2,  // bad usage, or a file that cannot be read
};

struct CliContext {
    bool simulate = false;    // --simulate given
    std::string simFlashFile; // --simulate=FILE: keep the simulated flash there
    std::string simProfile = "new-502";
    std::string devicePath;             // --device PATH
    std::vector<std::string> simFaults; // --sim-fault FAULT (testing aid)
    int exitCode = CLI_EXIT_OK;         // set by the command that ran
};

// Each group adds its subcommands; the callbacks set ctx.exitCode.
void KorvanaCli_addPackageCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addDeviceCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addUpdateCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addDiscoveryCommands(CLI::App& app, CliContext& ctx);
