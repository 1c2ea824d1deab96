#include "device/serverdata.h"

#include "device/cmd.h"
#include "support/mem.h"
#include "support/str.h"
#include "support/stream.h"

#include <cerrno>
#include <cstring>

namespace {

int fail(DeviceLink* link, int result, uint8_t* buffer) {
    int why = errno; // the file's cause outlives the message's own output
    ZK_Mem_free(buffer);
    ZK_Progress_message(link, ZK_ServerData_failureText(result));
    errno = why;
    return result;
}

} // namespace

const char* ZK_ServerData_failureText(int result) {
    switch (result) {
    case ZK_SERVERDATA_NO_MEMORY:
        return "out memory！";
    case ZK_SERVERDATA_READ_FAIL:
        return "read fail！";
    case ZK_SERVERDATA_OPEN_FAIL:
        return "open file fail！";
    default:
        return "";
    }
}

int ZK_ServerData_read(DeviceLink* link, const char* path) {
    if (!ZK_Link_isAttached(link))
        return ZK_SERVERDATA_NO_DEVICE;
    // Without a whole information read the region's place is not known.
    if (link->info.readResult != 0)
        return fail(link, ZK_SERVERDATA_READ_FAIL, nullptr);
    const uint32_t address = link->info.mainSetting.serverAddr;
    const uint32_t size = link->info.mainSetting.serverSize;

    link->progress.mode = ZK_PROGRESS_MULTI;
    std::memset(link->stepText, 0, sizeof link->stepText);
    ZK_Str_copy(sizeof link->stepText, "Load ", link->stepText, 0);
    ZK_Progress_start(link, size);

    uint8_t* buffer = size ? (uint8_t*)ZK_Mem_alloc(size) : nullptr;
    if (!buffer)
        return fail(link, ZK_SERVERDATA_NO_MEMORY, nullptr);

    // A corrupt main setting must not make us ask for gigabytes page by page.
    uint32_t flashSize = link->info.flashSize;
    if (flashSize && (address > flashSize || size > flashSize - address))
        return fail(link, ZK_SERVERDATA_READ_FAIL, buffer);

    for (uint32_t done = 0; done < size;) {
        uint32_t piece = size - done < ZK_FLASH_PAGE ? size - done : ZK_FLASH_PAGE;
        if (!ZK_Flash_read(link->channel, address + done, buffer + done, piece, 0))
            return fail(link, ZK_SERVERDATA_READ_FAIL, buffer);
        done += piece;
    }

    ProgressState& p = link->progress;
    p.done = p.total;
    p.lastReported = p.lastValue = 10000;
    if (link->progressCallback)
        link->progressCallback(link->progressUser, link, ZK_PROGRESS_VALUE, 10000, p.startTick);

    // Written beside the path and renamed over it, so that a failure leaves
    // an earlier file whole and no partial copy behind.
    ByteStream* stream = path ? ZK_Stream_create(path, ZK_STREAM_REPLACE) : nullptr;
    if (!stream)
        return fail(link, ZK_SERVERDATA_OPEN_FAIL, buffer);
    bool written = (size == 0 || ZK_Stream_write(stream, size, buffer) == (int64_t)size) &&
                   ZK_Stream_commit(stream);
    ZK_Stream_release(stream);
    if (!written)
        return fail(link, ZK_SERVERDATA_OPEN_FAIL, buffer);
    ZK_Mem_free(buffer);
    return ZK_SERVERDATA_OK;
}
