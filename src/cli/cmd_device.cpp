// Device commands: info, dump-info, read-server.
#include "cli.h"

void KorvanaCli_addDeviceCommands(CLI::App& app, CliContext& ctx) {
    (void)app;
    (void)ctx;
}
