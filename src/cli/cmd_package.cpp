// Package commands: build, sample, info.
#include "cli.h"

void KorvanaCli_addPackageCommands(CLI::App& app, CliContext& ctx) {
    (void)app;
    (void)ctx;
}
