#include "device/machine.h"

#include "device/cmd.h"
#include "support/log.h"
#include "support/mem.h"

#include <cstring>

// The machine layer's log lines carry this source name, as the tools that
// read these logs expect.
#define ZK_MACHINE_LOG(...) ZK_Log_print("ZK_Machine", __LINE__, __func__, __VA_ARGS__)
// The check's lines name the public entry, whichever helper logs them.
#define ZK_CHECK_LOG(...)                                                                          \
    ZK_Log_print("ZK_Machine", __LINE__, "ZK_Machine_checkParamAndMainSetting", __VA_ARGS__)

namespace {

constexpr uint32_t kSector = 4096;

uint32_t round4k(uint32_t x) {
    return (x + (kSector - 1)) & ~(kSector - 1);
}
uint64_t round4k64(uint64_t x) {
    return (x + (kSector - 1)) & ~(uint64_t)(kSector - 1);
}
uint32_t round256(uint32_t x) {
    return (x + 255u) & ~255u;
}

bool isFixedLayoutBoard(const char board[4]) {
    static const char* const kBoards[] = {"TQMA", "TQMB", "TQMC", "TQMD", "X41K", "LBRQ"};
    char name[5] = {};
    std::memcpy(name, board, 4);
    for (const char* b : kBoards)
        if (std::strcmp(name, b) == 0)
            return true;
    return false;
}

OptionRegion fromRegion(const PackageRegion& r) {
    return {r.data, r.size, r.scrambled};
}
OptionPlacedRegion placedFrom(const PackageRegion& r) {
    return {0, r.data, r.size, r.scrambled};
}

struct RegionWrite {
    OptionPlacedRegion UpdateOptions::*member;
    const char* name; // for progress and failure causes
    const char* format;
    int failure;
    bool plainMode; // always mode 0
};

const RegionWrite kRegionWrites[] = {
    {&UpdateOptions::gps, "gps", "write gps data[0x%X][0x%X]", ZK_MACHINE_ERR_GPS, false},
    {&UpdateOptions::voice, "voice", "write voice data[0x%X][0x%X]", ZK_MACHINE_ERR_VOICE, false},
    {&UpdateOptions::radarMute, "radar mute", "write radar mute data[0x%X][0x%X]",
     ZK_MACHINE_ERR_RADAR_MUTE, false},
    {&UpdateOptions::updateTool, "update tool", "write update tool data[0x%X][0x%X]",
     ZK_MACHINE_ERR_UPDATE_TOOL, true},
    {&UpdateOptions::oled, "oled", "write oled data data[0x%X][0x%X]", ZK_MACHINE_ERR_UPDATE_TOOL,
     false},
};

} // namespace

const ProgramEntry* ZK_Package_findProgram(const UpdatePackage* package, uint32_t board) {
    if (!package || !package->programs || package->programCount == 0)
        return nullptr;
    if (package->programCount == 1)
        return &package->programs[0];
    const uint32_t ghw2 = ZK_Board_word("GHW2"), ghw7 = ZK_Board_word("GHW7");
    for (uint32_t i = 0; i < package->programCount; ++i) {
        uint32_t entry = ZK_Board_word(package->programs[i].board);
        if (entry == board || (board == ghw2 && entry == ghw7))
            return &package->programs[i];
    }
    return nullptr;
}

int ZK_Machine_writeBoot(UpdatePackage* package, DeviceLink* link) {
    if (!package || !link)
        return 0;
    ZK_MACHINE_LOG("write boot data[0x%X][0x%X]", ZK_BOOT_ADDR, package->boot.size);
    link->progress.region = "boot";
    return ZK_Flash_write(link->channel, ZK_BOOT_ADDR, package->boot.data, package->boot.size,
                          (int)package->boot.scrambled, (uint8_t)package->bootWriteFlag);
}

int ZK_Machine_writeProgram(DeviceLink* link, UpdatePackage* package, int standalone) {
    if (!link || !package)
        return 0;
    if (standalone) {
        link->progress.mode = ZK_PROGRESS_PER_TRANSFER;
        link->stepText[0] = '\0';
    }
    const ProgramEntry* e =
        ZK_Package_findProgram(package, ZK_Board_word(link->info.mainSetting.board));
    // An entry whose image did not load has nothing to write; the app flag
    // must not announce a program that never arrives.
    if (!e || !e->loaded || !e->image || e->size == 0)
        return 0;
    uint32_t sum = ZK_Data_descrambledSum(e->image, e->size);

    uint8_t flag[12];
    ZK_Bytes_putU32le(flag, ZK_SETTING_MAGIC);
    ZK_Bytes_putU32le(flag + 4, e->size);
    ZK_Bytes_putU32le(flag + 8, sum);
    ZK_MACHINE_LOG("write app flag data[0x%X][0x%X]", ZK_APP_FLAG_ADDR, 12u);
    link->progress.region = "program";
    if (!ZK_Flash_write(link->channel, ZK_APP_FLAG_ADDR, flag, sizeof flag, 0, 1))
        return 0;
    ZK_MACHINE_LOG("write app data[0x%X][0x%X]", ZK_PROGRAM_ADDR, e->size);
    return ZK_Flash_write(link->channel, ZK_PROGRAM_ADDR, e->image, e->size,
                          (int)ZK_Package_programScrambled(e), 1);
}

int ZK_Machine_write(UpdateOptions* options, DeviceLink* link, UpdatePackage* package) {
    if (!options || !link || !package)
        return ZK_MACHINE_ERR_GPS;
    link->progress.mode = ZK_PROGRESS_MULTI;
    link->progress.region = nullptr;
    link->stepText[0] = '\0';
    uint64_t total = (uint64_t)round256(options->boot.size) + round256(options->program.size) +
                     round256(options->voice.size) + round256(options->radarMute.size) +
                     round256(options->updateTool.size) + round256(options->oled.size) +
                     round256(options->gps.size);
    ZK_Progress_start(link, total > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)total);

    uint8_t dataMode = options->plainData ? 0 : 1;
    for (const RegionWrite& w : kRegionWrites) {
        const OptionPlacedRegion& r = options->*(w.member);
        if (r.size == 0)
            continue;
        ZK_MACHINE_LOG(w.format, r.address, r.size);
        link->progress.region = w.name;
        // Address 0 holds the boot loader; no data region may land there.
        if (r.address == 0)
            return w.failure;
        if (!ZK_Flash_write(link->channel, r.address, r.data, r.size, (int)r.scrambled,
                            w.plainMode ? 0 : dataMode))
            return w.failure;
    }
    if (options->writeProgram && !ZK_Machine_writeProgram(link, package, 0))
        return ZK_MACHINE_ERR_PROGRAM;
    if (options->writeBoot && !ZK_Machine_writeBoot(package, link))
        return ZK_MACHINE_ERR_BOOT;
    if (options->resetSetting) {
        uint32_t addr = options->layout502 ? ZK_PARAM_ADDR_502 : ZK_PARAM_ADDR_LEGACY;
        ZK_MACHINE_LOG("reset setting data[0x%X][0x%X]", addr, kSector);
        link->progress.region = "user settings";
        if (ZK_Cmd_erase(link->channel, addr, kSector) != ZK_CMD_OK)
            return ZK_MACHINE_ERR_SETTINGS;
    }
    if (options->writeClientId) {
        uint32_t addr = options->layout502 ? ZK_CLIENT_ADDR_502 : ZK_CLIENT_ADDR_LEGACY;
        ZK_MACHINE_LOG("write client id data[0x%X][0x%X]", addr, kSector);
        link->progress.region = "client block";
        if (ZK_Cmd_erase(link->channel, addr, kSector) != ZK_CMD_OK ||
            !ZK_Flash_write(link->channel, addr, package->title, sizeof package->title, 0, 0))
            return ZK_MACHINE_ERR_CLIENT;
    }
    link->progress.region = nullptr;
    ZK_Progress_finish(link);
    (void)ZK_Link_readInfo(link);
    if (ZK_Link_isAttached(link))
        (void)ZK_Cmd_complete(link->channel);
    return ZK_MACHINE_OK;
}

namespace {

// An erase the device was asked for and did not confirm. A length off the
// sector grid is refused before sending and, as ever, leaves that region
// as it is (a track size in 256-byte steps).
bool eraseFailed(int result) {
    return result != ZK_CMD_OK && result != ZK_CMD_ERR_LENGTH;
}

void takeAddresses(UpdateOptions* options, const MainSetting& ms) {
    options->voice.address = ms.voiceAddr;
    options->radarMute.address = ms.radarMuteAddr;
    options->updateTool.address = ms.updateToolAddr;
    options->oled.address = ms.oledAddr;
    options->gps.address = ms.gpsAddr;
}

void addErase(MachinePlan* plan, int kind, uint32_t address, uint32_t size) {
    plan->erases[plan->eraseCount++] = {kind, address, size,
                                        address % kSector == 0 && size % kSector == 0};
}

// The check's decisions; fills `plan` (already cleared) and returns its result.
int decide(const DeviceInfo& info, UpdateOptions* options, const UpdatePackage* package,
           MachinePlan* plan) {
    MainSetting ms = info.mainSetting;
    ServerSetting ss;
    std::memset(&ss, 0, sizeof ss);
    ms.magic = ZK_SETTING_MAGIC;
    ms.flashSize = info.flashSize;
    int programChanged = 0, dataChanged = 0;
    bool fixedLayout = false;
    uint32_t serverSize = ms.serverSize;

    // Boot.
    options->boot = options->writeBoot ? fromRegion(package->boot) : OptionRegion{};
    if (options->boot.size == 0)
        return ZK_CHECK_NO_BOOT;

    // Program.
    options->program = {};
    if (!options->writeProgram) {
        options->resetSetting = 0;
    } else {
        uint32_t key = options->boardOverride ? options->boardOverride : ZK_Board_word(ms.board);
        const ProgramEntry* e = ZK_Package_findProgram(package, key);
        if (!e) {
            options->writeProgram = 0;
            options->writeBoot = 0;
            options->resetSetting = 0;
        } else {
            fixedLayout = e->fixedLayout != 0 || isFixedLayoutBoard(e->board);
            options->altVoice = e->altVoice != 0;
            options->layout502 = e->layout502 != 0;
            options->useVoice3 = e->useVoice3 != 0;
            options->useGps2 = e->useGps2 != 0;
            options->useGps3 = e->useGps3 != 0;
            options->useVoice4 = e->useVoice4 != 0;
            options->plainData = e->plainData != 0;
            options->writeOled = e->hasOled != 0;
            serverSize = e->serverSize;
            if (e->trackSize != ms.trackSize) {
                ms.trackSize = e->trackSize;
                dataChanged = 1;
            }
            if (e->resetServer)
                ss.magic = ZK_SETTING_MAGIC;
            ms.version = 0;
            std::memcpy(ms.board, e->board, 4);
            ms.programVersion = e->programVersion;
            ms.reserved12 = 0;
            ms.auxFlag = 0;
            ms.reserved20 = 0;
            ms.minToolVersion = 0;
            if (package->updateTool.size)
                ms.hasUpdateTool = 1;
            ms.altVoice = (uint8_t)options->altVoice;
            ms.useGps2 = (uint8_t)options->useGps2;
            ms.useVoice3 = (uint8_t)options->useVoice3;
            ms.useGps3 = (uint8_t)options->useGps3;
            ms.useVoice4 = (uint8_t)options->useVoice4;
            ms.plainData = (uint8_t)options->plainData;
            options->program = {e->image, e->loaded ? e->size : 0, ZK_Package_programScrambled(e)};
            programChanged = 1;
        }
    }
    if (options->program.size == 0)
        return ZK_CHECK_NO_PROGRAM;

    // Voice.
    options->voice = {};
    if (options->writeVoice) {
        const PackageRegion* v;
        if (options->useVoice4)
            v = options->altVoice ? &package->voice4Alt : &package->voice4;
        else if (options->useVoice3)
            v = options->altVoice ? &package->voice3Alt : &package->voice3;
        else if (options->provincesSelected)
            v = options->altVoice ? &package->voice2Alt : &package->voice2;
        else
            v = options->altVoice ? &package->voiceAlt : &package->voice;
        options->voice = placedFrom(*v);
        if (options->voice.size == 0)
            return ZK_CHECK_NO_VOICE;
        dataChanged = 1;
    }

    // Radar mute; an empty section is taken as it is.
    options->radarMute = {};
    if (options->writeRadarMute) {
        options->radarMute = placedFrom(package->radarMute);
        dataChanged = 1;
    }

    // GPS.
    options->gps = {};
    if (options->writeGps) {
        const PackageRegion* g;
        if (options->useGps3)
            g = options->provincesSelected ? &package->provinceMerged : &package->gps3;
        else if (options->useGps2)
            g = &package->gps2;
        else if (options->provincesSelected)
            g = &package->provinceLegacyMerged;
        else
            g = &package->gps;
        options->gps = placedFrom(*g);
        if (options->gps.size == 0)
            return ZK_CHECK_NO_GPS;
        dataChanged = 1;
    }

    // Update tool; an empty section is taken as it is.
    options->updateTool = {};
    if (options->writeUpdateTool) {
        options->updateTool = placedFrom(package->updateTool);
        dataChanged = 1;
    }

    // OLED.
    options->oled = {};
    if (options->writeOled) {
        options->oled = placedFrom(package->oled);
        if (options->oled.size == 0)
            return ZK_CHECK_NO_OLED;
        dataChanged = 1;
    }

    plan->sectionsChosen = 1;
    plan->programChanged = programChanged;
    plan->dataChanged = dataChanged;
    plan->fixedLayout = fixedLayout ? 1 : 0;
    plan->setting = ms;
    if (!programChanged && !dataChanged)
        return ZK_CHECK_OK;

    if (fixedLayout) {
        // The fixed layout has no place for an OLED region: refuse before
        // anything is erased rather than write it over the boot loader.
        if (options->writeOled)
            return ZK_CHECK_NO_OLED;
        addErase(plan, ZK_PLAN_ERASE_GROUP, ZK_GROUP_ADDR_LEGACY, kSector);
        addErase(plan, ZK_PLAN_ERASE_GROUP, ZK_GROUP_ADDR_502, kSector);
        UpdateOptions& laid = plan->laidOut;
        laid = *options;
        laid.updateTool.size = 0;
        laid.voice.address = ZK_FIXED_VOICE_ADDR;
        laid.radarMute.address = ZK_FIXED_RADAR_MUTE_ADDR;
        laid.updateTool.address = 0;
        laid.gps.address = ZK_FIXED_GPS_ADDR;
        return ZK_CHECK_OK;
    }

    if (dataChanged) {
        // 64-bit so that absurd sizes cannot wrap around and look as if they fit.
        uint64_t base = options->layout502 ? ZK_DATA_BASE_502 : ZK_DATA_BASE_LEGACY;
        uint64_t at = base + round4k(options->reservedSize);
        ms.reservedAddr = (uint32_t)base;
        ms.reservedSize = round4k(options->reservedSize);
        // Fields of the packed record are assigned, never bound to references:
        // they are not aligned.
        struct Placed {
            uint32_t address, size;
        };
        auto place = [&at](uint64_t length, bool round) {
            uint64_t len = round ? round4k64(length) : length;
            Placed p{(uint32_t)at, (uint32_t)len};
            at += len;
            return p;
        };
        Placed server = place(serverSize, true);
        Placed voice = place(options->voice.size, true);
        Placed radar = place(options->radarMute.size, true);
        Placed tool = place(options->updateTool.size, true);
        Placed oled = place(options->oled.size, true);
        Placed track = place(ms.trackSize, false);
        Placed gps = place(options->gps.size, true);
        ms.serverAddr = server.address;
        ms.serverSize = server.size;
        ms.voiceAddr = voice.address;
        ms.voiceSize = voice.size;
        ms.radarMuteAddr = radar.address;
        ms.radarMuteSize = radar.size;
        ms.updateToolAddr = tool.address;
        ms.updateToolSize = tool.size;
        if (tool.size)
            ms.hasUpdateTool = 1;
        ms.oledAddr = oled.address;
        ms.oledSize = oled.size;
        ms.trackAddr = track.address;
        ms.trackSize = track.size;
        ms.gpsAddr = gps.address;
        ms.gpsSize = gps.size;
        uint64_t usedEnd = at;
        ms.usedEnd = (uint32_t)usedEnd;
        plan->setting = ms;
        if (usedEnd > info.flashSize) {
            options->gpsNeeded = usedEnd > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)usedEnd;
            // Never negative: when even the other regions overflow, no GPS data fits.
            int64_t room =
                (int64_t)info.flashSize - (int64_t)usedEnd + (int64_t)round4k64(options->gps.size);
            options->gpsAvailable = room > 0 ? (uint32_t)room : 0;
            return ZK_CHECK_TOO_LARGE;
        }
    }

    // A stale group left in the other layout would be read first next time.
    plan->groupAddr = options->layout502 ? ZK_GROUP_ADDR_502 : ZK_GROUP_ADDR_LEGACY;
    addErase(plan, ZK_PLAN_ERASE_GROUP,
             options->layout502 ? ZK_GROUP_ADDR_LEGACY : ZK_GROUP_ADDR_502, kSector);
    plan->writeGroup = 1;
    plan->server = ss;
    plan->writeServer = ss.magic == ZK_SETTING_MAGIC;
    if (ms.serverSize)
        addErase(plan, ZK_PLAN_ERASE_SERVER, ms.serverAddr, ms.serverSize);
    if (ms.trackSize)
        addErase(plan, ZK_PLAN_ERASE_TRACK, ms.trackAddr, ms.trackSize);
    plan->laidOut = *options;
    takeAddresses(&plan->laidOut, ms);
    return ZK_CHECK_OK;
}

} // namespace

int ZK_Machine_plan(const DeviceInfo* info, const UpdateOptions* request,
                    const UpdatePackage* package, MachinePlan* plan) {
    if (!plan)
        return ZK_CHECK_NO_PROGRAM;
    std::memset(plan, 0, sizeof *plan);
    if (request)
        plan->options = *request;
    if (!info || !request || !package) {
        plan->laidOut = plan->options;
        return plan->result = ZK_CHECK_NO_PROGRAM;
    }
    plan->result = decide(*info, &plan->options, package, plan);
    plan->gpsNeeded = plan->options.gpsNeeded;
    plan->gpsAvailable = plan->options.gpsAvailable;
    if (plan->result != ZK_CHECK_OK || (!plan->programChanged && !plan->dataChanged))
        plan->laidOut = plan->options;
    return plan->result;
}

int ZK_Machine_applyPlan(DeviceLink* link, const MachinePlan* plan, UpdateOptions* options) {
    if (!link || !plan || !options)
        return ZK_CHECK_NO_PROGRAM;
    *options = plan->options;
    if (plan->sectionsChosen)
        ZK_CHECK_LOG("502=%d, bProgramChanged=%d, bDataChanged=%d", (int)plan->options.layout502,
                     plan->programChanged, plan->dataChanged);
    if (plan->result != ZK_CHECK_OK)
        return plan->result;
    if (plan->writeGroup) {
        ZK_CHECK_LOG("write main setting[0x%X]", plan->groupAddr);
        link->progress.region = "main setting";
    }
    uint32_t i = 0;
    for (; i < plan->eraseCount && plan->erases[i].kind == ZK_PLAN_ERASE_GROUP; ++i)
        if (ZK_Cmd_erase(link->channel, plan->erases[i].address, plan->erases[i].size) != ZK_CMD_OK)
            return ZK_CHECK_WRITE_FAILED;
    if (plan->writeGroup) {
        if (!ZK_Link_writeMainSettingGroup(link, &plan->setting,
                                           plan->writeServer ? &plan->server : nullptr,
                                           (int)plan->options.layout502))
            return ZK_CHECK_WRITE_FAILED;
    }
    for (; i < plan->eraseCount; ++i) {
        const MachineErase& e = plan->erases[i];
        if (e.kind == ZK_PLAN_ERASE_SERVER)
            ZK_CHECK_LOG("reset server data[0x%X][0x%X]", e.address, e.size);
        else
            ZK_CHECK_LOG("reset track data[0x%X][0x%X]", e.address, e.size);
        if (e.address % kSector == 0 && eraseFailed(ZK_Cmd_erase(link->channel, e.address, e.size)))
            return ZK_CHECK_WRITE_FAILED;
    }
    *options = plan->laidOut;
    return ZK_CHECK_OK;
}

int ZK_Machine_checkParamAndMainSetting(DeviceLink* link, UpdateOptions* options,
                                        UpdatePackage* package) {
    if (!link || !options || !package)
        return ZK_CHECK_NO_PROGRAM;
    MachinePlan plan;
    (void)ZK_Machine_plan(&link->info, options, package, &plan);
    return ZK_Machine_applyPlan(link, &plan, options);
}

int ZK_Machine_planParamAndMainSetting(DeviceLink* link, UpdateOptions* options,
                                       UpdatePackage* package, MachinePlan* plan) {
    MachinePlan local;
    MachinePlan* p = plan ? plan : &local;
    if (!link || !options || !package) {
        std::memset(p, 0, sizeof *p);
        return ZK_CHECK_NO_PROGRAM;
    }
    int r = ZK_Machine_plan(&link->info, options, package, p);
    *options = r == ZK_CHECK_OK ? p->laidOut : p->options;
    return r;
}
