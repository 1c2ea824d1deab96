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
    // Set when the simulated flash file missed a change: the run then fails,
    // whatever the command printed, since the file is not the device's state.
    mutable bool simSaveFailed = false;
};

// Each group adds its subcommands; the callbacks set ctx.exitCode.
void KorvanaCli_addPackageCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addDeviceCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addUpdateCommands(CLI::App& app, CliContext& ctx);
void KorvanaCli_addDiscoveryCommands(CLI::App& app, CliContext& ctx);

// A file the command reads: a regular file that can be opened. Otherwise
// prints "PATH: why" on stderr and returns CLI_EXIT_USAGE; a FIFO, device
// node or directory is refused at once rather than read or waited on.
int KorvanaCli_checkInputFile(const std::string& path);
// A file the command writes: absent, or a regular file. Otherwise as above.
int KorvanaCli_checkOutputFile(const std::string& path);
