// The device link: the one connection object of the tool, what the last
// information read found on the device, and progress reporting.
//
// The link is used by one thread at a time (window thread or update worker)
// and is not locked; only its reference count is atomic, and attaching or
// detaching its port is safe against a command running on another thread
// (see device/port.h).
#pragma once

#include "device/port.h"
#include "device/setting.h"
#include "package/transform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint16_t ZK_DEVICE_VENDOR_ID = 0x0416;
constexpr uint16_t ZK_DEVICE_PRODUCT_ID = 0xB500;
constexpr size_t ZK_INFO_PAGE_BYTES = 256; // parameter sector, client block, setting tail
constexpr size_t ZK_CLIENT_TEXT_CAPACITY = 100;
constexpr size_t ZK_STEP_TEXT_CAPACITY = 256;

// Information areas in flash, by layout.
constexpr uint32_t ZK_GROUP_ADDR_502 = 0x1E000;
constexpr uint32_t ZK_GROUP_ADDR_LEGACY = 0x16000;
constexpr uint32_t ZK_PARAM_ADDR_502 = 0x19000;
constexpr uint32_t ZK_PARAM_ADDR_LEGACY = 0x11000;
constexpr uint32_t ZK_CLIENT_ADDR_502 = 0x1F000;
constexpr uint32_t ZK_CLIENT_ADDR_LEGACY = 0x18000;
constexpr uint32_t ZK_GROUP_BYTES = 768;

enum ZK_ProgressKind {
    ZK_PROGRESS_STARTED = 0, // value 10000
    ZK_PROGRESS_VALUE = 1,   // value 0..10000
    ZK_PROGRESS_TEXT = 3,    // stepText changed, value 10000
};

// 0 no reporting, 1 each transfer is its own total, 2 the caller owns the total.
enum ZK_ProgressMode {
    ZK_PROGRESS_OFF = 0,
    ZK_PROGRESS_PER_TRANSFER = 1,
    ZK_PROGRESS_MULTI = 2,
};

struct ProgressState {
    int32_t mode;
    uint32_t total;        // bytes
    uint32_t lastReported; // bytes done at the last report
    uint32_t done;         // bytes
    uint32_t lastValue;    // 0..10000
    uint32_t startTick;    // ZK_Clock_tickMs at the start
    const char* region; // what is being written ("gps", "voice", ...), static; none between writes
};

struct DeviceInfo {
    uint32_t layout502;     // main setting found at 0x1E000
    uint32_t bootVersion;   // 0 when get-version failed
    uint32_t flashSize;     // bytes
    uint32_t noMainSetting; // neither slot holds a record with a board name
    MainSetting mainSetting;
    ServerSetting serverSetting;
    uint8_t paramSector[ZK_INFO_PAGE_BYTES]; // sum word at 0, record from 4
    int32_t paramType;                       // -1 none, 1..5
    uint8_t clientBlock[ZK_INFO_PAGE_BYTES]; // 0xFF when unread
    uint8_t settingTail[ZK_INFO_PAGE_BYTES]; // third slot of the group, written back as read
    RegionDate voiceDate;
    RegionDate radarMuteDate;
    RegionDate gpsDate;
    // 0 when every command of the last information read was answered; else
    // the first failure's ZK_CmdResult, with the command and the flash
    // address it asked for. What such a read found is shown but never
    // written back and never decides a write.
    int32_t readResult;
    uint8_t readFailedCommand;
    uint32_t readFailedAddress;
};

struct DeviceLink;
// Asked after every information read; 0 refuses the device.
typedef int (*ZK_InfoCallback)(void* user, const uint8_t* clientBlock);
// Progress sink; the result is ignored. Called on the thread that moves data.
typedef int (*ZK_ProgressCallback)(void* user, DeviceLink* link, int kind, uint32_t value,
                                   uint32_t startTick);

struct DeviceLink {
    std::atomic<int32_t> refCount;
    CommandChannel* channel; // owned; absent only when it could not be allocated
    DeviceInfo info;
    ZK_InfoCallback infoCallback;
    void* infoUser;
    char stepText[ZK_STEP_TEXT_CAPACITY];
    // Set while a long operation (an update, a settings write) owns the
    // link: attaching is then refused, so that an arrival handled on another
    // thread cannot swap the device or rewrite `info` under the worker.
    std::atomic<int32_t> claimed;
    ZK_ProgressCallback progressCallback;
    void* progressUser;
    ProgressState progress;
};

// Creates a link with refCount 1, paramType -1 and a channel whose transfer
// hook is the link's dispatcher. None only when the link itself cannot be
// allocated (a missing channel leaves a link that never has a device).
[[nodiscard]] DeviceLink* ZK_Link_create(ZK_InfoCallback infoCallback, void* infoUser,
                                         ZK_ProgressCallback progressCallback, void* progressUser);
// Drops a reference; the last one closes the port and frees everything. Safe on none.
void ZK_Link_release(DeviceLink* link);
// True when the link, its channel and the channel's port are present.
bool ZK_Link_isAttached(const DeviceLink* link);

// Reads the device information (see DeviceInfo). 1 read and accepted; 0 for
// no link/channel or a device the info callback refused (it then gets the
// refuse command, stays attached, and its dates keep the previous values).
// A stamp word of 0xFFFFFFFF (erased flash) leaves its date zero. A command
// that fails on the way is recorded in info.readResult (also with result 1):
// callers that write must check ZK_Link_infoComplete first. A lost reply to
// get-version keeps the channel's status rule of the last good answer.
[[nodiscard]] int ZK_Link_readInfo(DeviceLink* link);
// True when the last information read got an answer to every command.
bool ZK_Link_infoComplete(const DeviceLink* link);
// One line naming what the failed information read asked for, e.g. "no valid
// reply to the flash read at 0x1E200"; empty when the read was complete.
void ZK_Link_infoFailureText(const DeviceLink* link, char* out, size_t capacity);
// Writes the 768-byte main-setting group at 0x1E000 (layout502) or 0x16000:
// `mainSetting` (none: info.mainSetting), `serverSetting` when given with a
// valid magic, and info.settingTail. Bytes no record covers are 0xFF. No erase. 1 / 0;
// 0 without writing when the last information read was incomplete (the tail
// it would write back may never have been read).
[[nodiscard]] int ZK_Link_writeMainSettingGroup(DeviceLink* link, const MainSetting* mainSetting,
                                                const ServerSetting* serverSetting, int layout502);
// Copies `sector` (256 bytes, optional) over info.paramSector, stores the sum
// of its record for info.paramType and writes it to the parameter sector of
// the device's layout. 0 without writing for an unknown form or after an
// incomplete information read.
[[nodiscard]] int ZK_Link_writeParamSector(DeviceLink* link, const uint8_t* sector);

// The board name (at most 4 characters), zero-terminated.
void ZK_Link_boardText(const DeviceLink* link, char* out, size_t capacity);
// The client name from the client block; `out` holds 100 bytes.
void ZK_Link_clientText(const DeviceLink* link, char* out);
// "%d%02d%02d" of the date, empty when its year is 0.
void ZK_Link_dateText(const RegionDate* date, char* out, size_t capacity);
// Where the information read looked for a data region's stamp: from the main
// setting, or the fixed places when the device has none.
enum ZK_LinkRegion { ZK_REGION_VOICE = 0, ZK_REGION_RADAR_MUTE = 1, ZK_REGION_GPS = 2 };
void ZK_Link_regionPlace(const DeviceLink* link, int region, uint32_t* address, uint32_t* size);
// Writes the information dump (GBK text) to `path`. 1 written, 0 when the
// last information read was incomplete, the file cannot be created or a
// write fails; on 0 an existing file at `path` is left as it was.
[[nodiscard]] int ZK_Link_dumpInfo(const char* path, DeviceLink* link);

// Progress: kinds and values as in ZK_ProgressKind; values are hundredths of
// a percent, never above 10000.
void ZK_Progress_start(DeviceLink* link, uint32_t total);
void ZK_Progress_advance(DeviceLink* link, uint32_t bytes);
void ZK_Progress_finish(DeviceLink* link);
// Sets stepText (at most 255 characters) and reports kind 3.
void ZK_Progress_message(DeviceLink* link, const char* text);

// The channel's transfer hook: turns transfer events into progress by progress.mode.
void ZK_Link_transferDispatch(void* user, int event, uint32_t a, uint32_t b);

enum ZK_AttachResult {
    ZK_ATTACH_OK = 0,          // attached, information read and accepted
    ZK_ATTACH_REFUSED = 1,     // attached, but the device was refused (port stays)
    ZK_ATTACH_NO_DEVICE = 2,   // no matching HID interface
    ZK_ATTACH_OPEN_FAILED = 3, // the interface could not be opened; see *hidResult
    ZK_ATTACH_BUSY = 4,        // the link is claimed by a running operation; nothing done
};

// Claims the link for one long operation (see DeviceLink::claimed). False
// when it is claimed already. Release with ZK_Link_unclaim on the thread
// that claimed it, after the operation's thread has ended.
[[nodiscard]] bool ZK_Link_claim(DeviceLink* link);
void ZK_Link_unclaim(DeviceLink* link);
bool ZK_Link_isClaimed(const DeviceLink* link);
// Attaches the device at `path`, or with none the first HID interface whose
// path names 0416:B500. Closes any port the link had first (so a failed
// attach leaves no device), then reads the information. ZK_ATTACH_BUSY
// without touching anything while the link is claimed. *hidResult
// (optional) gets the HID layer's code of the enumerate or open.
[[nodiscard]] int ZK_Link_attach(DeviceLink* link, const char* path, int* hidResult);
// Removal: closes the port without waiting for a command on another thread.
void ZK_Link_detach(DeviceLink* link);
// True when the lower-cased path contains "vid_0416&pid_b500".
bool ZK_Link_matchHidPath(const char* path);
// A board name (four characters, no terminator) as the little-endian word
// that board lookups compare; 0 for none (no main setting).
uint32_t ZK_Board_word(const char board[4]);
