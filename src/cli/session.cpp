#include "session.h"

#include "app/core/client.h"
#include "platform/hid.h"
#include "sim.h"
#include "support/text.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

CliSession::~CliSession() {
    ZK_Link_release(link);
    if (ctx)
        KorvanaCli_stopSimulator(*ctx, sim);
    else
        (void)ZK_Sim_destroy(sim);
}

void KorvanaCli_stopSimulator(const CliContext& ctx, SimDevice* sim) {
    std::string why;
    if (!ZK_Sim_destroy(sim, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        ctx.simSaveFailed = true;
    }
}

namespace {

// "KIND[:CODE[:SKIP]]" or "disconnect:REPORTS"; false for a fault text that does not parse.
bool parseFault(const std::string& text, SimFault* fault) {
    static const struct {
        const char* name;
        SimFaultKind kind;
    } kinds[] = {{"no-reply", SIM_FAULT_NO_REPLY},     {"bad-signature", SIM_FAULT_BAD_SIGNATURE},
                 {"bad-header", SIM_FAULT_BAD_HEADER}, {"bad-checksum", SIM_FAULT_BAD_CHECKSUM},
                 {"status", SIM_FAULT_STATUS},         {"short", SIM_FAULT_SHORT_REPORT},
                 {"delay", SIM_FAULT_DELAY},           {"disconnect", SIM_FAULT_DISCONNECT},
                 {"late-reply", SIM_FAULT_LATE_REPLY}};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    *fault = SimFault{};
    for (const auto& k : kinds)
        if (parts[0] == k.name)
            fault->kind = k.kind;
    if (fault->kind == SIM_FAULT_NONE || parts.size() > 3)
        return false;
    auto number = [](const std::string& text, long* out) {
        char* end = nullptr;
        *out = std::strtol(text.c_str(), &end, 0);
        return !text.empty() && end && *end == '\0' && *out >= 0;
    };
    long a = 0, b = 0;
    if (fault->kind == SIM_FAULT_DISCONNECT) {
        if (parts.size() != 2 || !number(parts[1], &a))
            return false;
        fault->afterReports = (int)a;
        return true;
    }
    if (parts.size() > 1 && !number(parts[1], &a))
        return false;
    if (parts.size() > 2 && !number(parts[2], &b))
        return false;
    fault->onCode = (int)a;
    fault->skipCommands = (int)b;
    return true;
}

} // namespace

SimDevice* KorvanaCli_startSimulator(const CliContext& ctx) {
    SimConfig config;
    config.profile = ctx.simProfile.c_str();
    config.flashFile = ctx.simFlashFile.empty() ? nullptr : ctx.simFlashFile.c_str();
    std::vector<SimFault> faults;
    for (const auto& text : ctx.simFaults) {
        SimFault fault;
        if (!parseFault(text, &fault)) {
            std::fprintf(stderr, "--sim-fault: cannot read '%s'\n", text.c_str());
            return nullptr;
        }
        faults.push_back(fault);
    }
    std::string why;
    SimDevice* sim = ZK_Sim_create(config, &why);
    if (!sim) {
        std::fprintf(stderr, "Cannot start the simulated device: %s\n", why.c_str());
        return nullptr;
    }
    for (const SimFault& fault : faults)
        ZK_Sim_injectFault(sim, fault);
    // A command line run never inspects the raw reports; keep none.
    ZK_Sim_setRawCaptureLimit(sim, 0);
    ZK_Sim_plug(sim);
    return sim;
}

int KorvanaCli_openSession(const CliContext& ctx, CliSession& s, ZK_ProgressCallback progress,
                           void* progressUser) {
    std::string path = ctx.devicePath;
    s.ctx = &ctx;
    if (ctx.simulate) {
        s.sim = KorvanaCli_startSimulator(ctx);
        if (!s.sim)
            return CLI_EXIT_USAGE;
        if (path.empty())
            path = ZK_Sim_path(s.sim);
    }
    s.link = ZK_Link_create(IsDeviceClientAccepted, nullptr, progress, progressUser);
    if (!s.link || !s.link->channel) {
        std::fprintf(stderr, "Error\n");
        return CLI_EXIT_FAILED;
    }
    int hid = ZK_HID_OK;
    switch (ZK_Link_attach(s.link, path.empty() ? nullptr : path.c_str(), &hid)) {
    case ZK_ATTACH_OK:
        return CLI_EXIT_OK;
    case ZK_ATTACH_REFUSED: {
        char client[ZK_CLIENT_TEXT_CAPACITY];
        ZK_Link_clientText(s.link, client);
        std::fprintf(stderr, "This device belongs to another client (%s); it was refused.\n",
                     ZK_Text_gbkToUtf8(client).c_str());
        return CLI_EXIT_FAILED;
    }
    case ZK_ATTACH_OPEN_FAILED:
        if (hid == ZK_HID_ERR_ACCESS || hid == ZK_HID_ERR_BUSY) {
            std::fprintf(stderr, "%s\n", ZK_Hid_describe(hid));
            return CLI_EXIT_FAILED;
        }
        [[fallthrough]];
    default:
        std::fprintf(stderr, "%s\n", KORVANA_CLI_NO_HARDWARE);
        return CLI_EXIT_FAILED;
    }
}
