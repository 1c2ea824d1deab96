#include "session.h"

#include "platform/hid.h"
#include "support/text.h"

#include <cstdio>
#include <string>

CliSession::~CliSession() {
    if (!ZK_Session_close(&app) && ctx) {
        std::fprintf(stderr, "%s\n", app.error.c_str());
        ctx->simSaveFailed = true;
    }
}

SessionOptions KorvanaCli_sessionOptions(const CliContext& ctx) {
    SessionOptions o;
    o.simulate = ctx.simulate;
    o.simFlashFile = ctx.simFlashFile;
    o.simProfile = ctx.simProfile;
    o.simFaults = ctx.simFaults;
    o.devicePath = ctx.devicePath;
    return o;
}

SimDevice* KorvanaCli_startSimulator(const CliContext& ctx) {
    std::string why;
    SimDevice* sim = ZK_Session_startSimulator(KorvanaCli_sessionOptions(ctx), &why);
    if (!sim)
        std::fprintf(stderr, "Cannot start the simulated device: %s\n", why.c_str());
    return sim;
}

void KorvanaCli_stopSimulator(const CliContext& ctx, SimDevice* sim) {
    std::string why;
    if (!ZK_Sim_destroy(sim, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        ctx.simSaveFailed = true;
    }
}

int KorvanaCli_openSession(const CliContext& ctx, CliSession& s, ZK_ProgressCallback progress,
                           void* progressUser) {
    s.ctx = &ctx;
    SessionOptions options = KorvanaCli_sessionOptions(ctx);
    options.progress = progress;
    options.progressUser = progressUser;
    switch (ZK_Session_open(options, &s.app)) {
    case ZK_SESSION_OK:
        return CLI_EXIT_OK;
    case ZK_SESSION_BAD_SIMULATOR:
        std::fprintf(stderr, "Cannot start the simulated device: %s\n", s.app.error.c_str());
        return CLI_EXIT_USAGE;
    case ZK_SESSION_NO_LINK:
        std::fprintf(stderr, "Error\n");
        return CLI_EXIT_FAILED;
    case ZK_SESSION_REFUSED: {
        char client[ZK_CLIENT_TEXT_CAPACITY];
        ZK_Link_clientText(s.link, client);
        std::fprintf(stderr, "This device belongs to another client (%s); it was refused.\n",
                     ZK_Text_gbkToUtf8(client).c_str());
        return CLI_EXIT_FAILED;
    }
    case ZK_SESSION_ACCESS:
    case ZK_SESSION_BUSY:
        std::fprintf(stderr, "%s\n", ZK_Hid_describe(s.app.hidResult));
        return CLI_EXIT_FAILED;
    default:
        std::fprintf(stderr, "%s\n", ZK_TEXT_NO_HARDWARE);
        return CLI_EXIT_FAILED;
    }
}

bool KorvanaCli_reportIncomplete(const CliSession& s) {
    if (ZK_Link_infoComplete(s.link))
        return false;
    char why[160];
    ZK_Link_infoFailureText(s.link, why, sizeof why);
    std::fprintf(stderr, "The device did not answer: %s (code %d).\n", why,
                 (int)s.link->info.readResult);
    return true;
}
