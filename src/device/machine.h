// The machine layer: lays the package's regions out in the device's flash,
// rewrites the main setting, and writes the regions, the program with its app
// flag and the boot image.
//
// Everything runs on the update worker with the link's channel; the link is
// not locked, so nothing else may use it meanwhile. Nothing here shows a
// message: callers turn the results into texts.
#pragma once

#include "device/link.h"
#include "package/package.h"

#include <cstdint>

// A region to write: bytes borrowed from the package, never owned.
struct OptionRegion {
    const uint8_t* data;
    uint32_t size;
    uint32_t scrambled;
};
struct OptionPlacedRegion {
    uint32_t address;
    const uint8_t* data;
    uint32_t size;
    uint32_t scrambled;
};

// Filled by the workflow (requests) and by the check (everything else).
struct UpdateOptions {
    uint32_t writeBoot;
    uint32_t writeProgram;
    uint32_t writeVoice;
    uint32_t writeRadarMute;
    uint32_t writeGps;
    uint32_t writeUpdateTool;
    uint32_t writeOled;
    uint32_t resetSetting;
    uint32_t writeClientId;
    uint32_t boardOverride; // four characters as a little-endian word; 0: the device's board
    uint32_t provincesSelected;
    uint32_t reservedSize;
    uint32_t layout502;
    uint32_t altVoice;
    uint32_t useVoice3;
    uint32_t useGps2;
    uint32_t useGps3;
    uint32_t useVoice4;
    uint32_t plainData;
    OptionRegion boot;
    OptionRegion program;
    OptionPlacedRegion voice;
    OptionPlacedRegion radarMute;
    OptionPlacedRegion updateTool;
    OptionPlacedRegion oled;
    OptionPlacedRegion gps;
    uint32_t gpsNeeded;    // check result 1: end of the regions
    uint32_t gpsAvailable; // check result 1: room GPS data may take (0 when even none fits)
};

// Fixed places of the boot, app flag and program areas.
constexpr uint32_t ZK_BOOT_ADDR = 0x0;
constexpr uint32_t ZK_APP_FLAG_ADDR = 0x8000;
constexpr uint32_t ZK_PROGRAM_ADDR = 0x9000;
constexpr uint32_t ZK_DATA_BASE_502 = 0x21000;
constexpr uint32_t ZK_DATA_BASE_LEGACY = 0x19000;
constexpr uint32_t ZK_FIXED_VOICE_ADDR = 0xDE000;
constexpr uint32_t ZK_FIXED_RADAR_MUTE_ADDR = 0x16000;
constexpr uint32_t ZK_FIXED_GPS_ADDR = 0x2DE000;

// Results of ZK_Machine_write.
enum ZK_MachineResult {
    ZK_MACHINE_OK = 0,
    ZK_MACHINE_ERR_BOOT = -2,
    ZK_MACHINE_ERR_PROGRAM = -3,
    ZK_MACHINE_ERR_VOICE = -4,
    ZK_MACHINE_ERR_RADAR_MUTE = -5,
    ZK_MACHINE_ERR_UPDATE_TOOL = -6, // also the OLED region
    ZK_MACHINE_ERR_GPS = -7,
    ZK_MACHINE_ERR_SETTINGS = -8, // the user-settings sector could not be reset
    ZK_MACHINE_ERR_CLIENT = -9,   // the client block could not be erased or written
};

// Results of ZK_Machine_checkParamAndMainSetting.
enum ZK_CheckResult {
    ZK_CHECK_OK = 0,
    ZK_CHECK_TOO_LARGE = 1,    // gpsNeeded / gpsAvailable are set; nothing written
    ZK_CHECK_NO_VOICE = 2,     // the chosen voice section is empty
    ZK_CHECK_NO_GPS = 3,       // the chosen GPS section is empty
    ZK_CHECK_NO_OLED = 4,      // OLED required but empty, or a fixed-layout board with OLED
    ZK_CHECK_WRITE_FAILED = 5, // the main-setting group, or an erase that goes with it, failed
    ZK_CHECK_NO_PROGRAM = 6,   // program not requested, or no entry for the board
    ZK_CHECK_NO_BOOT = 7,      // boot not requested, or its section is empty
};

// The program entry for `board` (four characters as a little-endian word):
// the only entry when there is one; else the first with that board, where a
// "GHW2" device also takes a "GHW7" entry. None without entries or a match.
const ProgramEntry* ZK_Package_findProgram(const UpdatePackage* package, uint32_t board);

// Picks the package sections for the device's board, fills `options`, lays the
// data regions out and, when they fit, writes the main setting and erases
// the server and track regions: ZK_Machine_plan, then ZK_Machine_applyPlan.
// ZK_CheckResult; may run twice per update.
[[nodiscard]] int ZK_Machine_checkParamAndMainSetting(DeviceLink* link, UpdateOptions* options,
                                                      UpdatePackage* package);

// One erase the check sends, in the order it sends them.
enum ZK_PlanEraseKind {
    ZK_PLAN_ERASE_GROUP = 0,  // a main-setting sector (the other layout's, or both when fixed)
    ZK_PLAN_ERASE_SERVER = 1, // the server-data region; logged as "reset server data"
    ZK_PLAN_ERASE_TRACK = 2,  // the track-data region; logged as "reset track data"
};
struct MachineErase {
    int kind; // ZK_PlanEraseKind
    uint32_t address;
    uint32_t size;
    int sent; // 0: off the 4096-byte grid, so the device is not asked (the region stays as it is)
};

// What the check decided, before anything is sent. Owns nothing: the region
// slots in `options` and `laidOut` borrow the package's bytes, so the plan is
// valid while the package is open.
struct MachinePlan {
    int result;         // ZK_CheckResult the check returns
    int sectionsChosen; // 1: every requested section was found; applying logs the summary
    int programChanged;
    int dataChanged;
    int fixedLayout; // 1: the board takes the fixed layout; no main setting is written
    // The options as the check leaves them when the result is not 0, or when
    // applying fails: sections and variant flags filled, region addresses 0.
    UpdateOptions options;
    // The options after a successful check: `options` with the regions' addresses.
    UpdateOptions laidOut;
    MainSetting setting; // the main setting to write (regions laid out)
    ServerSetting server;
    int writeServer; // 1: `server` goes into the group (an empty record with a valid magic)
    int writeGroup;  // 1: the group is written at `groupAddr`
    uint32_t groupAddr;
    // The erases in sending order: the group sectors first, then the group
    // write (when writeGroup), then server and track data.
    MachineErase erases[3];
    uint32_t eraseCount;
    uint32_t gpsNeeded;    // result 1: end of the regions
    uint32_t gpsAvailable; // result 1: room GPS data may take
};

// The check's decisions without the device: picks the sections for `info`'s
// board from `request` (the request flags; read only) and the package, lays
// the regions out and lists the erases and the group write. Sends nothing.
// Returns plan->result (ZK_CheckResult); ZK_CHECK_NO_PROGRAM without inputs.
[[nodiscard]] int ZK_Machine_plan(const DeviceInfo* info, const UpdateOptions* request,
                                  const UpdatePackage* package, MachinePlan* plan);
// Carries a plan out on the device: the erases and the group write in the
// check's order, stopping at the first the device did not confirm
// (ZK_CHECK_WRITE_FAILED). A plan whose result is not 0 sends nothing and
// returns that result. `options` receives plan->laidOut on success, else
// plan->options. Logs the check's lines.
[[nodiscard]] int ZK_Machine_applyPlan(DeviceLink* link, const MachinePlan* plan,
                                       UpdateOptions* options);
// The plan for the link's device, without touching the flash: the same result
// and the same `options` as ZK_Machine_checkParamAndMainSetting, but nothing
// is sent or logged. `plan` (optional) receives the whole plan.
[[nodiscard]] int ZK_Machine_planParamAndMainSetting(DeviceLink* link, UpdateOptions* options,
                                                     UpdatePackage* package, MachinePlan* plan);

// Writes GPS, voice, radar mute, update tool, OLED, program (with app flag)
// and boot as `options` say, then erases the parameter sector (resetSetting),
// rewrites the client block (writeClientId), re-reads the information and
// sends the complete command. ZK_MachineResult; the first failure ends it,
// the erase of the settings sector and the client block included (the
// re-read and the complete command change nothing in the flash and do not
// fail it).
[[nodiscard]] int ZK_Machine_write(UpdateOptions* options, DeviceLink* link,
                                   UpdatePackage* package);
// Writes the app flag and the program image for the device's board. With
// `standalone` each transfer reports its own progress. 1 / 0 (nothing is
// written when no entry fits or the entry has no loaded image).
[[nodiscard]] int ZK_Machine_writeProgram(DeviceLink* link, UpdatePackage* package, int standalone);
// Writes the package's boot region at 0. 1 / 0.
[[nodiscard]] int ZK_Machine_writeBoot(UpdatePackage* package, DeviceLink* link);
