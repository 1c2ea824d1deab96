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
// the server and track regions. ZK_CheckResult; may run twice per update.
[[nodiscard]] int ZK_Machine_checkParamAndMainSetting(DeviceLink* link, UpdateOptions* options,
                                                      UpdatePackage* package);

// What a check would do, without touching the flash.
struct MachinePlan {
    MainSetting setting; // the main setting the check would write (regions laid out)
    int fixedLayout;     // 1: the board takes the fixed layout; no main setting is written
};
// Runs the same decisions as ZK_Machine_checkParamAndMainSetting and returns
// the same result, but sends nothing to the device (no erase, no write).
// `plan` (optional) receives the computed main setting.
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
