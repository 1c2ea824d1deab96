// Device commands: info, dump-info, read-server.
#include "cli.h"
#include "progress.h"
#include "session.h"

#include "device/link.h"
#include "device/serverdata.h"
#include "support/log.h"
#include "support/text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string gbkToUtf8(const char* text) {
    return ZK_Text_gbkToUtf8(text);
}

int openSession(const CliContext& ctx, CliSession& s, TerminalProgress* progress = nullptr) {
    return KorvanaCli_openSession(ctx, s, progress ? KorvanaCli_onProgress : nullptr, progress);
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

std::string dateText(const RegionDate& d) {
    char buf[16];
    ZK_Link_dateText(&d, buf, sizeof buf);
    return buf;
}

int runInfo(const CliContext& ctx, bool json) {
    if (json) // stdout carries only the document, even with --verbose
        ZK_Log_setSink(nullptr, nullptr);
    CliSession s;
    int rc = openSession(ctx, s);
    if (rc != CLI_EXIT_OK)
        return rc;
    if (KorvanaCli_reportIncomplete(s))
        return CLI_EXIT_FAILED;
    const DeviceInfo& info = s.link->info;
    const MainSetting& ms = info.mainSetting;
    char board[8], client[ZK_CLIENT_TEXT_CAPACITY];
    ZK_Link_boardText(s.link, board, sizeof board);
    ZK_Link_clientText(s.link, client);

    struct Region {
        const char* key;
        const char* label;
        int id;
        const RegionDate* date;
    } regions[] = {
        {"voice", "voice", ZK_REGION_VOICE, &info.voiceDate},
        {"radarMute", "radar mute", ZK_REGION_RADAR_MUTE, &info.radarMuteDate},
        {"gps", "gps", ZK_REGION_GPS, &info.gpsDate},
    };

    if (json) {
        nlohmann::json j;
        j["layout"] = info.layout502 ? "502" : "legacy";
        j["layout502"] = info.layout502;
        j["bootVersion"] = info.bootVersion;
        j["flashSize"] = info.flashSize;
        j["noMainSetting"] = info.noMainSetting != 0;
        j["mainSettingValid"] = uint32_t(ms.magic) == ZK_SETTING_MAGIC;
        j["board"] = gbkToUtf8(board);
        j["programVersion"] = uint32_t(ms.programVersion);
        j["mainSettingVersion"] = uint32_t(ms.version);
        j["client"] = gbkToUtf8(client);
        j["paramType"] = info.paramType;
        for (const Region& r : regions) {
            uint32_t address, size;
            ZK_Link_regionPlace(s.link, r.id, &address, &size);
            j["regions"][r.key] = {
                {"address", address}, {"size", size}, {"date", dateText(*r.date)}};
        }
        j["regions"]["server"] = {{"address", uint32_t(ms.serverAddr)},
                                  {"size", uint32_t(ms.serverSize)}};
        j["regions"]["updateTool"] = {{"address", uint32_t(ms.updateToolAddr)},
                                      {"size", uint32_t(ms.updateToolSize)}};
        std::printf("%s\n", j.dump(2).c_str());
        return CLI_EXIT_OK;
    }

    std::printf("layout: %s\n", info.layout502 ? "502" : "legacy");
    std::printf("boot version: %u\n", info.bootVersion);
    std::printf("flash size: %u (%s)\n", info.flashSize, hex(info.flashSize).c_str());
    std::printf("board: %s%s\n", gbkToUtf8(board).c_str(),
                info.noMainSetting ? " (no main setting)" : "");
    std::printf("program version: %u\n", ms.programVersion);
    std::printf("main setting version: %u\n", ms.version);
    std::printf("client: %s\n", gbkToUtf8(client).c_str());
    if (info.paramType > 0)
        std::printf("parameter form: %d\n", info.paramType);
    else
        std::printf("parameter form: none\n");
    for (const Region& r : regions) {
        uint32_t address, size;
        ZK_Link_regionPlace(s.link, r.id, &address, &size);
        std::string date = dateText(*r.date);
        std::printf("%s: address %s, size %s, date %s\n", r.label, hex(address).c_str(),
                    hex(size).c_str(), date.empty() ? "none" : date.c_str());
    }
    std::printf("server data: address %s, size %s\n", hex(ms.serverAddr).c_str(),
                hex(ms.serverSize).c_str());
    return CLI_EXIT_OK;
}

int runDump(const CliContext& ctx, const std::string& file) {
    if (int bad = KorvanaCli_checkOutputFile(file))
        return bad;
    CliSession s;
    int rc = openSession(ctx, s);
    if (rc != CLI_EXIT_OK)
        return rc;
    if (KorvanaCli_reportIncomplete(s)) {
        std::fprintf(stderr, "Write Error!\n");
        return CLI_EXIT_FAILED;
    }
    if (!ZK_Link_dumpInfo(file.c_str(), s.link)) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), std::strerror(errno));
        std::fprintf(stderr, "Write Error!\n");
        return CLI_EXIT_USAGE;
    }
    std::printf("Write Ok!\n");
    return CLI_EXIT_OK;
}

int runReadServer(const CliContext& ctx, const std::string& file) {
    if (int bad = KorvanaCli_checkOutputFile(file))
        return bad;
    TerminalProgress progress;
    CliSession s;
    int rc = openSession(ctx, s, &progress);
    if (rc != CLI_EXIT_OK)
        return rc;
    if (KorvanaCli_reportIncomplete(s)) {
        std::fprintf(stderr, "Write Error!\n");
        return CLI_EXIT_FAILED;
    }
    int result = ZK_ServerData_read(s.link, file.c_str());
    // The failure text, if any, came as a progress message on its own line.
    progress.endLine();
    if (result == ZK_SERVERDATA_OK) {
        std::printf("Write Ok!\n");
        return CLI_EXIT_OK;
    }
    if (result == ZK_SERVERDATA_NO_DEVICE) {
        std::fprintf(stderr, "%s\n", ZK_TEXT_NO_HARDWARE);
        return CLI_EXIT_FAILED;
    }
    if (result == ZK_SERVERDATA_OPEN_FAIL)
        std::fprintf(stderr, "%s: %s\n", file.c_str(), std::strerror(errno));
    std::fprintf(stderr, "Write Error!\n");
    return result == ZK_SERVERDATA_OPEN_FAIL ? CLI_EXIT_USAGE : CLI_EXIT_FAILED;
}

} // namespace

void KorvanaCli_addDeviceCommands(CLI::App& app, CliContext& ctx) {
    // The parsed values live as long as the app (the whole run).
    static struct {
        bool json = false;
        std::string dumpFile, serverFile;
    } opts;

    auto* info = app.add_subcommand("info", "Show the device information");
    info->add_flag("--json", opts.json, "Print it as JSON");
    info->callback([&ctx] { ctx.exitCode = runInfo(ctx, opts.json); });

    auto* dump = app.add_subcommand("dump-info", "Write the device information dump (GBK text)");
    dump->add_option("FILE", opts.dumpFile, "Output file")->required();
    dump->callback([&ctx] { ctx.exitCode = runDump(ctx, opts.dumpFile); });

    auto* server = app.add_subcommand("read-server", "Copy the device's server-data region");
    server->add_option("FILE", opts.serverFile, "Output file")->required();
    server->callback([&ctx] { ctx.exitCode = runReadServer(ctx, opts.serverFile); });
}
