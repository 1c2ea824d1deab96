#include "device/link.h"

#include "device/cmd.h"
#include "support/clock.h"
#include "support/mem.h"
#include "support/str.h"
#include "support/stream.h"

#include <cctype>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t DEFAULT_FLASH_SIZE = 0x800000;
constexpr uint32_t FLASH_SIZE_QUERY_VERSION = 1011;
constexpr uint32_t MAIN_RECORD = sizeof(MainSetting);
constexpr uint32_t SERVER_RECORD = sizeof(ServerSetting);

// Places of the data regions on a device without main setting.
constexpr uint32_t DEFAULT_VOICE_ADDR = 0xDE000, DEFAULT_VOICE_SIZE = 0x200000;
constexpr uint32_t DEFAULT_RADAR_ADDR = 0x16000, DEFAULT_RADAR_SIZE = 0xC8000;
constexpr uint32_t DEFAULT_GPS_ADDR = 0x2DE000, DEFAULT_GPS_SIZE = 0x522000;

// GBK bytes of the dump's texts.
constexpr const char GBK_WRONG[] = "\xB4\xED"; // 错
constexpr const char GBK_HAS[] = "\xD3\xD0";   // 有
constexpr const char GBK_NONE[] = "\xCE\xDE";  // 无

// Parameter record forms, tried in this order: bytes summed, magic offset (-1 none).
struct ParamForm {
    int type;
    uint32_t summed;
    int magicAt;
};
constexpr ParamForm PARAM_FORMS[] = {
    {5, 111, 107}, {4, 64, 60}, {3, 170, 166}, {2, 72, -1}, {1, 24, -1},
};

uint32_t recordSumFor(int32_t paramType) {
    switch (paramType) {
    case 2:
        return 72;
    case 3:
        return 170;
    case 4:
        return 64;
    case 5:
        return 111;
    default:
        return paramType <= 1 ? 24 : 0;
    }
}

// A slot holds sum word + record; its magic is the record's last word.
bool slotAccepted(const uint8_t* slot, uint32_t recordSize) {
    uint32_t sum = 0, magic = 0;
    if (!ZK_Bytes_readU32LE(slot, ZK_INFO_PAGE_BYTES, 0, &sum) ||
        !ZK_Bytes_readU32LE(slot, ZK_INFO_PAGE_BYTES, 4 + recordSize - 4, &magic))
        return false;
    return magic == ZK_SETTING_MAGIC && sum == ZK_Bytes_sum(slot + 4, recordSize);
}

void report(DeviceLink* link, int kind, uint32_t value) {
    if (link->progressCallback)
        link->progressCallback(link->progressUser, link, kind, value, link->progress.startTick);
}

int matchParamForm(const uint8_t* sector) {
    uint32_t sum = ZK_Bytes_u32le(sector);
    const uint8_t* record = sector + 4;
    const size_t recordRoom = ZK_INFO_PAGE_BYTES - 4;
    for (const ParamForm& form : PARAM_FORMS) {
        if (!ZK_Bytes_inRange(recordRoom, 0, form.summed))
            continue;
        if (ZK_Bytes_sum(record, form.summed) != sum)
            continue;
        uint32_t magic = 0;
        if (form.magicAt >= 0 &&
            (!ZK_Bytes_readU32LE(record, recordRoom, (size_t)form.magicAt, &magic) ||
             magic != ZK_SETTING_MAGIC))
            continue;
        return form.type;
    }
    return -1;
}

void dateFromPage(const uint8_t* page, int word, RegionDate* date) {
    uint32_t seconds = 0;
    // An erased word is no stamp, not 2106-02-07.
    if (ZK_Bytes_readU32LE(page, ZK_INFO_PAGE_BYTES, (size_t)word * 4, &seconds) &&
        seconds != 0xFFFFFFFFu)
        ZK_Date_fromSeconds(seconds, date);
}

} // namespace

DeviceLink* ZK_Link_create(ZK_InfoCallback infoCallback, void* infoUser,
                           ZK_ProgressCallback progressCallback, void* progressUser) {
    void* block = ZK_Mem_calloc(1, sizeof(DeviceLink));
    if (!block)
        return nullptr;
    DeviceLink* link = new (block) DeviceLink{};
    link->refCount.store(1, std::memory_order_relaxed);
    link->infoCallback = infoCallback;
    link->infoUser = infoUser;
    link->progressCallback = progressCallback;
    link->progressUser = progressUser;
    link->info.paramType = -1;
    link->channel = ZK_Channel_create();
    if (link->channel) {
        link->channel->transferHook = ZK_Link_transferDispatch;
        link->channel->transferUser = link;
    }
    return link;
}

void ZK_Link_release(DeviceLink* link) {
    if (!link)
        return;
    if (link->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    ZK_Channel_destroy(link->channel);
    link->~DeviceLink();
    ZK_Mem_free(link);
}

bool ZK_Link_isAttached(const DeviceLink* link) {
    return link && ZK_Channel_hasPort(link->channel);
}

void ZK_Link_transferDispatch(void* user, int event, uint32_t a, uint32_t b) {
    DeviceLink* link = (DeviceLink*)user;
    if (!link)
        return;
    switch (link->progress.mode) {
    case ZK_PROGRESS_PER_TRANSFER:
        if (event == ZK_TRANSFER_START)
            ZK_Progress_start(link, b);
        else if (event == ZK_TRANSFER_CHUNK)
            ZK_Progress_advance(link, a);
        else if (event == ZK_TRANSFER_END)
            ZK_Progress_finish(link);
        break;
    case ZK_PROGRESS_MULTI:
        if (event == ZK_TRANSFER_CHUNK)
            ZK_Progress_advance(link, a);
        break;
    default:
        break;
    }
}

void ZK_Progress_start(DeviceLink* link, uint32_t total) {
    if (!link)
        return;
    ProgressState& p = link->progress;
    p.total = total;
    p.lastReported = p.done = p.lastValue = 0;
    p.startTick = ZK_Clock_tickMs();
    report(link, ZK_PROGRESS_STARTED, 10000);
}

void ZK_Progress_advance(DeviceLink* link, uint32_t bytes) {
    if (!link)
        return;
    ProgressState& p = link->progress;
    p.done += bytes;
    if (p.total == 0)
        return;
    uint64_t value = (uint64_t)p.done * 10000u / p.total;
    // Whole pages may carry a few bytes past the total (a short last piece).
    if (value > 10000)
        value = 10000;
    if ((uint64_t)p.done > (uint64_t)p.lastReported + 4096) {
        p.lastReported = p.done;
        if ((uint32_t)value != p.lastValue) {
            p.lastValue = (uint32_t)value;
            report(link, ZK_PROGRESS_VALUE, p.lastValue);
        }
    }
}

void ZK_Progress_finish(DeviceLink* link) {
    if (!link)
        return;
    link->progress.done = link->progress.total;
    link->progress.lastValue = 10000;
    report(link, ZK_PROGRESS_VALUE, 10000);
}

void ZK_Progress_message(DeviceLink* link, const char* text) {
    if (!link)
        return;
    std::memset(link->stepText, 0, sizeof link->stepText);
    if (text)
        ZK_Str_copy(sizeof link->stepText, text, link->stepText, 0);
    report(link, ZK_PROGRESS_TEXT, 10000);
}

namespace {

// Keeps the first failure of an information read.
struct ReadLog {
    DeviceInfo& info;
    bool note(int result, uint8_t command, uint32_t address) {
        if (result != ZK_CMD_OK && info.readResult == 0) {
            info.readResult = result;
            info.readFailedCommand = command;
            info.readFailedAddress = address;
        }
        return result == ZK_CMD_OK;
    }
    bool page(DeviceLink* link, uint32_t address, uint8_t* out, uint8_t mode = 0) {
        return note(ZK_Flash_readResult(link->channel, address, out, ZK_INFO_PAGE_BYTES, mode),
                    ZK_CMD_READ, address);
    }
};

} // namespace

int ZK_Link_readInfo(DeviceLink* link) {
    if (!link || !link->channel)
        return 0;
    DeviceInfo& info = link->info;
    CommandChannel* channel = link->channel;
    link->progress.mode = ZK_PROGRESS_OFF;
    std::memset(link->stepText, 0, sizeof link->stepText);
    info.layout502 = 0;
    info.readResult = 0;
    info.readFailedCommand = 0;
    info.readFailedAddress = 0;
    ReadLog log{info};

    uint32_t version = 0;
    if (log.note(ZK_Cmd_query(channel, ZK_CMD_GET_VERSION, &version), ZK_CMD_GET_VERSION, 0))
        // Only a real answer sets the status rule: a lost reply read as
        // version 0 would stop checking status words for the whole run.
        channel->deviceVersion = version;
    info.bootVersion = version;
    info.flashSize = DEFAULT_FLASH_SIZE;
    if (info.bootVersion >= FLASH_SIZE_QUERY_VERSION) {
        uint32_t size = 0;
        (void)log.note(ZK_Cmd_query(channel, ZK_CMD_GET_FLASH_SIZE, &size), ZK_CMD_GET_FLASH_SIZE,
                       0);
        info.flashSize = size;
    }

    std::memset(&info.mainSetting, 0, sizeof info.mainSetting);
    std::memset(&info.serverSetting, 0, sizeof info.serverSetting);
    // A tail from an earlier device or read must never travel to this one.
    std::memset(info.settingTail, 0, sizeof info.settingTail);
    uint32_t clientAddr = ZK_CLIENT_ADDR_LEGACY;
    uint32_t serverSlot = 0;
    uint8_t page[ZK_INFO_PAGE_BYTES];

    if (log.page(link, ZK_GROUP_ADDR_502, page) && slotAccepted(page, MAIN_RECORD)) {
        std::memcpy(&info.mainSetting, page + 4, MAIN_RECORD);
        serverSlot = ZK_GROUP_ADDR_502 + 0x100;
        clientAddr = ZK_CLIENT_ADDR_502;
        info.layout502 = 1;
        (void)log.page(link, ZK_GROUP_ADDR_502 + 0x200, info.settingTail);
    }
    if (ZK_Board_word(info.mainSetting.board) == 0) {
        if (log.page(link, ZK_GROUP_ADDR_LEGACY, page) && slotAccepted(page, MAIN_RECORD)) {
            std::memcpy(&info.mainSetting, page + 4, MAIN_RECORD);
            serverSlot = ZK_GROUP_ADDR_LEGACY + 0x100;
            clientAddr = ZK_CLIENT_ADDR_LEGACY;
            (void)log.page(link, ZK_GROUP_ADDR_LEGACY + 0x200, info.settingTail);
        }
    }
    info.noMainSetting = ZK_Board_word(info.mainSetting.board) == 0;

    if (serverSlot && log.page(link, serverSlot, page) && slotAccepted(page, SERVER_RECORD))
        std::memcpy(&info.serverSetting, page + 4, SERVER_RECORD);

    info.paramType = -1;
    uint32_t paramAddr = info.layout502 ? ZK_PARAM_ADDR_502 : ZK_PARAM_ADDR_LEGACY;
    if (log.page(link, paramAddr, page)) {
        std::memcpy(info.paramSector, page, ZK_INFO_PAGE_BYTES);
        info.paramType = matchParamForm(info.paramSector);
        if (info.paramType > 0 && info.mainSetting.magic != ZK_SETTING_MAGIC) {
            const uint8_t* record = info.paramSector + 4;
            uint32_t board = 0, program = 0;
            if (info.paramType >= 3) {
                board = ZK_Bytes_u32le(record + 0);
                program = ZK_Bytes_u32le(record + 4);
            } else if (info.paramType == 2) {
                board = ZK_Bytes_u32le(record + 24);
                program = ZK_Bytes_u32le(record + 28);
            }
            std::memcpy(info.mainSetting.board, &board, 4);
            info.mainSetting.programVersion = program;
        }
    }

    if (!log.page(link, clientAddr, info.clientBlock))
        std::memset(info.clientBlock, 0xFF, sizeof info.clientBlock);

    if (link->infoCallback && link->infoCallback(link->infoUser, info.clientBlock) == 0) {
        (void)ZK_Cmd_refuse(channel);
        return 0;
    }

    std::memset(&info.voiceDate, 0, sizeof info.voiceDate);
    std::memset(&info.radarMuteDate, 0, sizeof info.radarMuteDate);
    std::memset(&info.gpsDate, 0, sizeof info.gpsDate);
    uint8_t mode = info.mainSetting.plainData == 0 ? 1 : 0;
    struct {
        int region;
        int word;
        RegionDate* date;
    } stamps[] = {
        {ZK_REGION_VOICE, info.mainSetting.useVoice4 ? 0 : 1, &info.voiceDate},
        {ZK_REGION_RADAR_MUTE, 0, &info.radarMuteDate},
        {ZK_REGION_GPS, 0, &info.gpsDate},
    };
    for (const auto& s : stamps) {
        uint32_t address = 0, size = 0;
        ZK_Link_regionPlace(link, s.region, &address, &size);
        if (size && log.page(link, address, page, mode))
            dateFromPage(page, s.word, s.date);
    }
    return 1;
}

bool ZK_Link_infoComplete(const DeviceLink* link) {
    return link && link->info.readResult == 0;
}

void ZK_Link_infoFailureText(const DeviceLink* link, char* out, size_t capacity) {
    if (!out || capacity == 0)
        return;
    out[0] = 0;
    if (!link || link->info.readResult == 0)
        return;
    const DeviceInfo& info = link->info;
    const char* what = info.readResult == ZK_CMD_ERR_NOT_SENT ? "could not send"
                       : info.readResult == ZK_CMD_ERR_DATA   ? "lost data in"
                                                              : "got no valid reply to";
    switch (info.readFailedCommand) {
    case ZK_CMD_GET_VERSION:
        ZK_Str_format(out, capacity, "the device information read %s the get-version command",
                      what);
        break;
    case ZK_CMD_GET_FLASH_SIZE:
        ZK_Str_format(out, capacity, "the device information read %s the flash-size command", what);
        break;
    default:
        ZK_Str_format(out, capacity, "the device information read %s the flash read at 0x%X", what,
                      info.readFailedAddress);
        break;
    }
}

void ZK_Link_regionPlace(const DeviceLink* link, int region, uint32_t* address, uint32_t* size) {
    uint32_t a = 0, s = 0;
    if (link) {
        const MainSetting& ms = link->info.mainSetting;
        bool fixed = link->info.noMainSetting != 0;
        switch (region) {
        case ZK_REGION_VOICE:
            a = fixed ? DEFAULT_VOICE_ADDR : ms.voiceAddr;
            s = fixed ? DEFAULT_VOICE_SIZE : ms.voiceSize;
            break;
        case ZK_REGION_RADAR_MUTE:
            a = fixed ? DEFAULT_RADAR_ADDR : ms.radarMuteAddr;
            s = fixed ? DEFAULT_RADAR_SIZE : ms.radarMuteSize;
            break;
        case ZK_REGION_GPS:
            a = fixed ? DEFAULT_GPS_ADDR : ms.gpsAddr;
            s = fixed ? DEFAULT_GPS_SIZE : ms.gpsSize;
            break;
        default:
            break;
        }
    }
    if (address)
        *address = a;
    if (size)
        *size = s;
}

int ZK_Link_writeMainSettingGroup(DeviceLink* link, const MainSetting* mainSetting,
                                  const ServerSetting* serverSetting, int layout502) {
    if (!link || !link->channel || !ZK_Link_infoComplete(link))
        return 0;
    const MainSetting* ms = mainSetting ? mainSetting : &link->info.mainSetting;
    uint8_t image[ZK_GROUP_BYTES];
    // Uncovered bytes look like erased flash.
    std::memset(image, 0xFF, sizeof image);
    std::memcpy(image + 4, ms, MAIN_RECORD);
    ZK_Bytes_putU32le(image, ZK_Bytes_sum(image + 4, MAIN_RECORD));
    if (serverSetting && serverSetting->magic == ZK_SETTING_MAGIC) {
        std::memcpy(image + 260, serverSetting, SERVER_RECORD);
        ZK_Bytes_putU32le(image + 256, ZK_Bytes_sum(image + 260, SERVER_RECORD));
    }
    std::memcpy(image + 512, link->info.settingTail, ZK_INFO_PAGE_BYTES);
    return ZK_Flash_write(link->channel, layout502 ? ZK_GROUP_ADDR_502 : ZK_GROUP_ADDR_LEGACY,
                          image, sizeof image, 0, 0);
}

int ZK_Link_writeParamSector(DeviceLink* link, const uint8_t* sector) {
    if (!link || !link->channel || !ZK_Link_infoComplete(link))
        return 0;
    DeviceInfo& info = link->info;
    if (sector)
        std::memcpy(info.paramSector, sector, ZK_INFO_PAGE_BYTES);
    uint32_t summed = recordSumFor(info.paramType);
    if (summed == 0)
        return 0;
    ZK_Bytes_putU32le(info.paramSector, ZK_Bytes_sum(info.paramSector + 4, summed));
    return ZK_Flash_write(link->channel, info.layout502 ? ZK_PARAM_ADDR_502 : ZK_PARAM_ADDR_LEGACY,
                          info.paramSector, ZK_INFO_PAGE_BYTES, 0, 0);
}

void ZK_Link_boardText(const DeviceLink* link, char* out, size_t capacity) {
    if (!out || capacity == 0)
        return;
    std::memset(out, 0, capacity);
    if (!link)
        return;
    const char* board = link->info.mainSetting.board;
    for (size_t i = 0; i < 4 && i + 1 < capacity && board[i]; ++i)
        out[i] = board[i];
}

void ZK_Link_clientText(const DeviceLink* link, char* out) {
    if (!out)
        return;
    std::memset(out, 0, ZK_CLIENT_TEXT_CAPACITY);
    if (!link)
        return;
    const uint8_t* block = link->info.clientBlock;
    size_t n = 0;
    // A run of erased bytes ends the name; a single 0xFF may be a GBK byte.
    while (n < ZK_CLIENT_TEXT_CAPACITY && !(block[n] == 0xFF && block[n + 1] == 0xFF))
        ++n;
    for (size_t i = 0; i < n && i < ZK_CLIENT_TEXT_CAPACITY - 1 && block[i]; ++i)
        out[i] = (char)block[i];
}

void ZK_Link_dateText(const RegionDate* date, char* out, size_t capacity) {
    if (!out || capacity == 0)
        return;
    out[0] = 0;
    if (date && date->year)
        ZK_Str_format(out, capacity, "%d%02d%02d", date->year, date->month, date->day);
}

int ZK_Link_dumpInfo(const char* path, DeviceLink* link) {
    // A dump of defaults would pass for what the device holds.
    if (!path || !link || !ZK_Link_infoComplete(link))
        return 0;
    ByteStream* stream = ZK_Stream_create(path, ZK_STREAM_REPLACE);
    if (!stream)
        return 0;
    const DeviceInfo& info = link->info;
    const MainSetting& ms = info.mainSetting;
    char board[8], client[ZK_CLIENT_TEXT_CAPACITY], gps[16], voice[16], radar[16];
    ZK_Link_boardText(link, board, sizeof board);
    ZK_Link_clientText(link, client);
    ZK_Link_dateText(&info.gpsDate, gps, sizeof gps);
    ZK_Link_dateText(&info.voiceDate, voice, sizeof voice);
    ZK_Link_dateText(&info.radarMuteDate, radar, sizeof radar);
    bool valid = ms.magic == ZK_SETTING_MAGIC;
    const char* updateText = !valid ? GBK_WRONG : ms.updateToolSize ? GBK_HAS : GBK_NONE;
    // The server-data region has no stamp: say whether it exists, like the
    // update line, with its own size.
    const char* serverText = !valid ? GBK_WRONG : ms.serverSize ? GBK_HAS : GBK_NONE;

    bool ok = true;
    ok &= ZK_Stream_printf(stream, "502:%d\n", (int)info.layout502) >= 0;
    ok &= ZK_Stream_printf(stream, "boot:%d\n", (int)info.bootVersion) >= 0;
    ok &= ZK_Stream_printf(stream, "flash size:%d\n", (int)info.flashSize) >= 0;
    ok &= ZK_Stream_printf(stream, "main setting version:%d\n", (int)ms.version) >= 0;
    ok &= ZK_Stream_printf(stream, "broad name:%s\n", board) >= 0;
    ok &= ZK_Stream_printf(stream, "program version:%d\n", (int)ms.programVersion) >= 0;
    ok &= ZK_Stream_printf(stream, "client:%s\n", client) >= 0;
    ok &= ZK_Stream_printf(stream, "gps version:%s;size:%d\n", gps, (int)ms.gpsSize) >= 0;
    ok &= ZK_Stream_printf(stream, "voice version:%s;size:%d\n", voice, (int)ms.voiceSize) >= 0;
    ok &= ZK_Stream_printf(stream, "radar mute version:%s;size:%d\n", radar,
                           (int)ms.radarMuteSize) >= 0;
    ok &= ZK_Stream_printf(stream, "update version:%s;size:%d\n", updateText,
                           (int)ms.updateToolSize) >= 0;
    ok &= ZK_Stream_printf(stream, "server version:%s;size:%d\n", serverText, (int)ms.serverSize) >=
          0;
    ok = ok && ZK_Stream_commit(stream);
    ZK_Stream_release(stream);
    return ok ? 1 : 0;
}

uint32_t ZK_Board_word(const char board[4]) {
    return board ? ZK_Bytes_u32le(reinterpret_cast<const uint8_t*>(board)) : 0;
}

bool ZK_Link_matchHidPath(const char* path) {
    if (!path)
        return false;
    static const char identity[] = "vid_0416&pid_b500";
    size_t n = std::strlen(path), m = sizeof identity - 1;
    for (size_t i = 0; i + m <= n; ++i) {
        size_t j = 0;
        while (j < m && std::tolower((unsigned char)path[i + j]) == identity[j])
            ++j;
        if (j == m)
            return true;
    }
    return false;
}

void ZK_Link_detach(DeviceLink* link) {
    if (link)
        ZK_Channel_detachPort(link->channel);
}

bool ZK_Link_claim(DeviceLink* link) {
    int32_t expected = 0;
    return link && link->claimed.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}

void ZK_Link_unclaim(DeviceLink* link) {
    if (link)
        link->claimed.store(0, std::memory_order_release);
}

bool ZK_Link_isClaimed(const DeviceLink* link) {
    return link && link->claimed.load(std::memory_order_acquire) != 0;
}

int ZK_Link_attach(DeviceLink* link, const char* path, int* hidResult) {
    if (hidResult)
        *hidResult = ZK_HID_OK;
    if (!link || !link->channel)
        return ZK_ATTACH_NO_DEVICE;
    if (ZK_Link_isClaimed(link))
        return ZK_ATTACH_BUSY;
    ZK_Channel_detachPort(link->channel);

    char found[ZK_HID_PATH_CAPACITY] = {};
    if (!path || !*path) {
        ZK_HidDeviceInfo list[8];
        int n = ZK_Hid_enumerate(ZK_DEVICE_VENDOR_ID, ZK_DEVICE_PRODUCT_ID, list, 8);
        if (n < 0 && hidResult)
            *hidResult = n;
        for (int i = 0; i < n && i < 8; ++i) {
            if (ZK_Link_matchHidPath(list[i].path)) {
                ZK_Str_copy(sizeof found, list[i].path, found, 0);
                break;
            }
        }
        if (!found[0])
            return ZK_ATTACH_NO_DEVICE;
        path = found;
    }
    int rc = ZK_HID_OK;
    HidPort* port = ZK_Port_open(path, &rc);
    if (hidResult)
        *hidResult = rc;
    if (!port)
        return rc == ZK_HID_ERR_NO_DEVICE ? ZK_ATTACH_NO_DEVICE : ZK_ATTACH_OPEN_FAILED;
    // A new device is unknown until its get-version: check that reply
    // without the status rule, as for the link's first device.
    link->channel->deviceVersion = 0;
    ZK_Channel_attachPort(link->channel, port);
    return ZK_Link_readInfo(link) ? ZK_ATTACH_OK : ZK_ATTACH_REFUSED;
}
