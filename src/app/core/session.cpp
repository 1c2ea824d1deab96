#include "app/core/session.h"

#include "app/core/client.h"
#include "device/detect.h"
#include "platform/hid.h"
#include "support/log.h"

#include <cstdlib>

void ZK_App_initProcess(ZK_LogSink sink, void* sinkUser) {
    ZK_Log_setSink(sink, sinkUser);
    ZK_Sim_registerBackend();
    ZK_Sim_setHotplugCallback(ZK_Detect_simHotplug, nullptr);
}

bool ZK_Session_parseFault(const std::string& text, SimFault* fault) {
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
    auto number = [](const std::string& t, long* out) {
        char* end = nullptr;
        *out = std::strtol(t.c_str(), &end, 0);
        return !t.empty() && end && *end == '\0' && *out >= 0;
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

SimDevice* ZK_Session_startSimulator(const SessionOptions& options, std::string* why) {
    SimConfig config;
    config.profile = options.simProfile.c_str();
    config.flashFile = options.simFlashFile.empty() ? nullptr : options.simFlashFile.c_str();
    std::vector<SimFault> faults;
    for (const auto& text : options.simFaults) {
        SimFault fault;
        if (!ZK_Session_parseFault(text, &fault)) {
            if (why)
                *why = "--sim-fault: cannot read '" + text + "'";
            return nullptr;
        }
        faults.push_back(fault);
    }
    SimDevice* sim = ZK_Sim_create(config, why);
    if (!sim)
        return nullptr;
    for (const SimFault& fault : faults)
        ZK_Sim_injectFault(sim, fault);
    // Front-ends never inspect the raw reports; keep none.
    ZK_Sim_setRawCaptureLimit(sim, 0);
    ZK_Sim_plug(sim);
    return sim;
}

int ZK_Session_open(const SessionOptions& options, AppSession* s) {
    std::string path = options.devicePath;
    if (options.simulate) {
        s->sim = ZK_Session_startSimulator(options, &s->error);
        if (!s->sim)
            return ZK_SESSION_BAD_SIMULATOR;
        if (path.empty())
            path = ZK_Sim_path(s->sim);
    }
    s->link =
        ZK_Link_create(IsDeviceClientAccepted, nullptr, options.progress, options.progressUser);
    if (!s->link || !s->link->channel)
        return ZK_SESSION_NO_LINK;
    s->hidResult = ZK_HID_OK;
    switch (ZK_Link_attach(s->link, path.empty() ? nullptr : path.c_str(), &s->hidResult)) {
    case ZK_ATTACH_OK:
        return ZK_SESSION_OK;
    case ZK_ATTACH_REFUSED:
        return ZK_SESSION_REFUSED;
    case ZK_ATTACH_OPEN_FAILED:
        if (s->hidResult == ZK_HID_ERR_ACCESS)
            return ZK_SESSION_ACCESS;
        if (s->hidResult == ZK_HID_ERR_BUSY)
            return ZK_SESSION_BUSY;
        return ZK_SESSION_NO_DEVICE;
    default:
        return ZK_SESSION_NO_DEVICE;
    }
}

int ZK_Session_close(AppSession* s) {
    if (!s)
        return 1;
    ZK_Link_release(s->link);
    s->link = nullptr;
    std::string why;
    int ok = ZK_Sim_destroy(s->sim, &why);
    s->sim = nullptr;
    if (!ok)
        s->error = why;
    return ok;
}

AppSession::~AppSession() {
    (void)ZK_Session_close(this);
}
