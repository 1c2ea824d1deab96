#include "device/cmd.h"

#include "package/transform.h"
#include "support/log.h"
#include "support/mem.h"

#include <cstring>

namespace {

constexpr uint8_t FILL = 0xCC;

void putBlock(uint8_t* out, uint8_t code, uint32_t a, uint32_t b, uint32_t c, uint8_t mode,
              uint32_t d) {
    out[0] = code;
    out[1] = ZK_BLOCK_HEADER_LENGTH;
    ZK_Bytes_putU32le(out + 2, a);
    ZK_Bytes_putU32le(out + 6, b);
    ZK_Bytes_putU32le(out + 10, c);
    out[14] = mode ? 1 : 0;
    ZK_Bytes_putU32le(out + 15, d);
    ZK_Bytes_putU32le(out + 19, ZK_BLOCK_SIGNATURE);
    ZK_Bytes_putU32le(out + 23, ZK_Bytes_sum(out, 23));
}

void notify(CommandChannel* channel, int event, uint32_t a, uint32_t b) {
    if (channel->transferHook)
        channel->transferHook(channel->transferUser, event, a, b);
}

void fail(CommandChannel* channel, int cause) {
    if (channel->lastCause == ZK_CAUSE_NONE)
        channel->lastCause = cause;
}

// One full 65-byte report out; a backend that moved fewer bytes failed.
int writeFull(CommandChannel* channel, HidPort* port, const uint8_t* report) {
    size_t count = 0;
    int rc = ZK_HID_OK;
    if (ZK_Port_writeReport(port, report, &count, &rc) && count == ZK_REPORT_SIZE)
        return 1;
    fail(channel, rc == ZK_HID_OK ? ZK_CAUSE_IO : ZK_Port_causeOf(rc));
    return 0;
}

int sendOn(CommandChannel* channel, HidPort* port, uint8_t code, uint32_t a, uint32_t b, uint32_t c,
           uint8_t mode, uint32_t d) {
    uint8_t block[ZK_BLOCK_SIZE];
    putBlock(block, code, a, b, c, mode, d);
    channel->lastCause = ZK_CAUSE_NONE;
    channel->lastStatus = 0;
    if (channel->cancelled.load(std::memory_order_acquire)) {
        fail(channel, ZK_CAUSE_CANCELLED);
        return 0;
    }
    if (!port) {
        fail(channel, ZK_CAUSE_REMOVED);
        return 0;
    }
    // A reply that missed its bound may still be queued: it must not answer this command.
    if (ZK_Port_drain(port, channel->report, 64) > 0)
        ZK_LOG("dropped a late reply before command 0x%02X", code);
    uint8_t* report = channel->report;
    std::memset(report, FILL, ZK_REPORT_SIZE);
    report[0] = 0;
    std::memcpy(report + 1, block, ZK_BLOCK_SIZE);
    return writeFull(channel, port, report);
}

int recvReplyOn(CommandChannel* channel, HidPort* port, CommandBlock* out) {
    if (!port) {
        fail(channel, ZK_CAUSE_REMOVED);
        return 0;
    }
    uint8_t* report = channel->report;
    size_t count = 0;
    int rc = ZK_HID_OK;
    if (!ZK_Port_readReport(port, report, &count, &rc)) {
        fail(channel, ZK_Port_causeOf(rc));
        return 0;
    }
    uint8_t raw[ZK_BLOCK_SIZE] = {};
    size_t take = count > 1 ? count - 1 : 0;
    if (take > ZK_BLOCK_SIZE)
        take = ZK_BLOCK_SIZE;
    std::memcpy(raw, report + 1, take);
    if (raw[1] != ZK_BLOCK_HEADER_LENGTH || ZK_Bytes_u32le(raw + 19) != ZK_BLOCK_SIGNATURE ||
        ZK_Bytes_u32le(raw + 23) != ZK_Bytes_sum(raw, 23)) {
        fail(channel, ZK_CAUSE_BAD_REPLY);
        return 0;
    }
    if (out)
        std::memcpy(out, raw, ZK_BLOCK_SIZE);
    // Older boot loaders leave the status word undefined.
    if (channel->deviceVersion.load(std::memory_order_relaxed) >= ZK_STATUS_CHECK_VERSION &&
        ZK_Bytes_u32le(raw + 2) != 0) {
        fail(channel, ZK_CAUSE_REFUSED);
        channel->lastStatus = ZK_Bytes_u32le(raw + 2);
        return 0;
    }
    return 1;
}

// Holds the channel's port for one whole command.
struct PortHold {
    explicit PortHold(CommandChannel* channel) : port(ZK_Channel_acquirePort(channel)) {}
    ~PortHold() { ZK_Port_releaseRef(port); }
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;
    HidPort* port;
};

// A command without data phase: ZK_CMD_OK, -3 not sent or -5 no valid reply.
int fixedCommand(CommandChannel* channel, uint8_t code, CommandBlock* reply) {
    if (!channel)
        return ZK_CMD_ERR_NOT_SENT;
    PortHold hold(channel);
    if (!sendOn(channel, hold.port, code, ZK_CMD_FIXED_A, ZK_CMD_FIXED_B, 0, 0, 0))
        return ZK_CMD_ERR_NOT_SENT;
    return recvReplyOn(channel, hold.port, reply) ? ZK_CMD_OK : ZK_CMD_ERR_REPLY;
}

// Raises a length to whole pages; 0 when that would overflow.
int pageLength(uint32_t length, uint32_t* raised) {
    if (length > UINT32_MAX - (ZK_FLASH_PAGE - 1))
        return 0;
    *raised = (length + (ZK_FLASH_PAGE - 1)) & ~(ZK_FLASH_PAGE - 1);
    return 1;
}

} // namespace

int ZK_Cmd_send(CommandChannel* channel, uint8_t code, uint32_t paramA, uint32_t paramB,
                uint32_t paramC, uint8_t mode, uint32_t paramD) {
    if (!channel)
        return 0;
    PortHold hold(channel);
    return sendOn(channel, hold.port, code, paramA, paramB, paramC, mode, paramD);
}

int ZK_Cmd_recvReply(CommandChannel* channel, CommandBlock* block) {
    if (!channel)
        return 0;
    PortHold hold(channel);
    return recvReplyOn(channel, hold.port, block);
}

int ZK_Cmd_erase(CommandChannel* channel, uint32_t address, uint32_t length) {
    if (address % ZK_FLASH_SECTOR)
        return ZK_CMD_ERR_ADDRESS;
    if (length % ZK_FLASH_SECTOR)
        return ZK_CMD_ERR_LENGTH;
    if (!channel)
        return ZK_CMD_ERR_NOT_SENT;
    PortHold hold(channel);
    if (!sendOn(channel, hold.port, ZK_CMD_ERASE, address / ZK_FLASH_SECTOR,
                length / ZK_FLASH_SECTOR, 0, 0, 0))
        return ZK_CMD_ERR_NOT_SENT;
    if (!recvReplyOn(channel, hold.port, nullptr))
        return ZK_CMD_ERR_DATA;
    return ZK_CMD_OK;
}

int ZK_Cmd_read(CommandChannel* channel, uint32_t address, uint8_t* buffer, uint32_t length,
                uint8_t mode) {
    if (address % ZK_FLASH_PAGE)
        return ZK_CMD_ERR_ADDRESS;
    if (length % ZK_FLASH_PAGE)
        return ZK_CMD_ERR_LENGTH;
    if (!channel || (length && !buffer))
        return ZK_CMD_ERR_NOT_SENT;
    PortHold hold(channel);
    if (!sendOn(channel, hold.port, ZK_CMD_READ, address / ZK_FLASH_PAGE, length / ZK_FLASH_PAGE, 0,
                mode, 0))
        return ZK_CMD_ERR_NOT_SENT;
    notify(channel, ZK_TRANSFER_START, 0, length);

    int result = ZK_CMD_OK;
    const uint8_t* report = channel->report;
    uint32_t done = 0;
    while (done < length) {
        size_t count = 0;
        // An empty data report is a broken exchange; waiting for more could
        // last forever if the device keeps sending them.
        int rc = ZK_HID_OK;
        if (!ZK_Port_readReport(hold.port, channel->report, &count, &rc) || count <= 1) {
            fail(channel, rc != ZK_HID_OK ? ZK_Port_causeOf(rc) : ZK_CAUSE_BAD_REPLY);
            result = ZK_CMD_ERR_DATA;
            break;
        }
        uint32_t payload = (uint32_t)(count - 1);
        if (payload > ZK_REPORT_PAYLOAD)
            payload = ZK_REPORT_PAYLOAD;
        if (payload > length - done)
            payload = length - done;
        std::memcpy(buffer + done, report + 1, payload);
        done += payload;
        notify(channel, ZK_TRANSFER_CHUNK, payload, done);
    }

    CommandBlock reply{};
    if (result == ZK_CMD_OK && !recvReplyOn(channel, hold.port, &reply))
        result = ZK_CMD_ERR_REPLY;
    notify(channel, ZK_TRANSFER_END, result == ZK_CMD_OK ? reply.paramB : 0, length);
    return result;
}

namespace {

// The write command over `available` bytes of `data`, sending 0xFF past them
// up to `length`: so a flash write needs no padded copy of its region.
int writeCommand(CommandChannel* channel, uint32_t address, const uint8_t* data, uint32_t available,
                 uint32_t length, uint32_t paramC, uint8_t mode, uint32_t checksum) {
    if (address % ZK_FLASH_PAGE)
        return ZK_CMD_ERR_ADDRESS;
    if (length % ZK_FLASH_PAGE)
        return ZK_CMD_ERR_LENGTH;
    if (!channel || (length && !data))
        return ZK_CMD_ERR_NOT_SENT;
    PortHold hold(channel);
    if (!sendOn(channel, hold.port, ZK_CMD_WRITE, address / ZK_FLASH_PAGE, length / ZK_FLASH_PAGE,
                paramC, mode, checksum))
        return ZK_CMD_ERR_NOT_SENT;
    notify(channel, ZK_TRANSFER_START, 0, length);

    int result = ZK_CMD_OK;
    uint8_t* report = channel->report;
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t chunk = length - sent;
        if (chunk > ZK_REPORT_PAYLOAD)
            chunk = ZK_REPORT_PAYLOAD;
        report[0] = 0;
        uint32_t have = sent < available ? available - sent : 0;
        if (have > chunk)
            have = chunk;
        if (have)
            std::memcpy(report + 1, data + sent, have);
        if (have < chunk)
            std::memset(report + 1 + have, 0xFF, chunk - have);
        if (chunk < ZK_REPORT_PAYLOAD)
            std::memset(report + 1 + chunk, FILL, ZK_REPORT_PAYLOAD - chunk);
        if (!writeFull(channel, hold.port, report)) {
            result = ZK_CMD_ERR_DATA;
            break;
        }
        sent += chunk;
        notify(channel, ZK_TRANSFER_CHUNK, (uint32_t)ZK_REPORT_PAYLOAD, sent);
    }

    if (result == ZK_CMD_OK && !recvReplyOn(channel, hold.port, nullptr))
        result = ZK_CMD_ERR_REPLY;
    notify(channel, ZK_TRANSFER_END, sent, sent);
    return result;
}

} // namespace

int ZK_Cmd_write(CommandChannel* channel, uint32_t address, const uint8_t* data, uint32_t length,
                 uint32_t paramC, uint8_t mode, uint32_t checksum) {
    return writeCommand(channel, address, data, length, length, paramC, mode, checksum);
}

int ZK_Cmd_complete(CommandChannel* channel) {
    return fixedCommand(channel, ZK_CMD_COMPLETE, nullptr) == ZK_CMD_OK ? 1 : 0;
}

int ZK_Cmd_refuse(CommandChannel* channel) {
    return fixedCommand(channel, ZK_CMD_REFUSE, nullptr) == ZK_CMD_OK ? 1 : 0;
}

int ZK_Cmd_query(CommandChannel* channel, uint8_t code, uint32_t* value) {
    CommandBlock reply{};
    int result = fixedCommand(channel, code, &reply);
    if (result == ZK_CMD_OK && value)
        *value = reply.paramB;
    return result;
}

uint32_t ZK_Cmd_getVersion(CommandChannel* channel) {
    uint32_t value = 0;
    return ZK_Cmd_query(channel, ZK_CMD_GET_VERSION, &value) == ZK_CMD_OK ? value : 0;
}

uint32_t ZK_Cmd_getFlashSize(CommandChannel* channel) {
    uint32_t value = 0;
    return ZK_Cmd_query(channel, ZK_CMD_GET_FLASH_SIZE, &value) == ZK_CMD_OK ? value : 0;
}

int ZK_Flash_readResult(CommandChannel* channel, uint32_t address, void* destination,
                        uint32_t length, uint8_t mode) {
    if (channel)
        channel->lastCause = ZK_Channel_hasPort(channel) ? ZK_CAUSE_NONE : ZK_CAUSE_REMOVED;
    if (!ZK_Channel_hasPort(channel) || (length && !destination))
        return ZK_CMD_ERR_NOT_SENT;
    uint32_t raised = 0;
    if (!pageLength(length, &raised))
        return ZK_CMD_ERR_LENGTH;
    uint8_t* temp = nullptr;
    if (raised) {
        temp = (uint8_t*)ZK_Mem_alloc(raised);
        if (!temp)
            return ZK_CMD_ERR_NOT_SENT;
    }
    int result = ZK_Cmd_read(channel, address, temp, raised, mode);
    if (result == ZK_CMD_OK && length && temp)
        std::memcpy(destination, temp, length);
    ZK_Mem_free(temp);
    return result;
}

int ZK_Flash_read(CommandChannel* channel, uint32_t address, void* destination, uint32_t length,
                  uint8_t mode) {
    return ZK_Flash_readResult(channel, address, destination, length, mode) == ZK_CMD_OK ? 1 : 0;
}

int ZK_Flash_write(CommandChannel* channel, uint32_t address, const void* data, uint32_t length,
                   int scrambled, uint8_t mode) {
    if (channel)
        channel->lastCause = ZK_Channel_hasPort(channel) ? ZK_CAUSE_NONE : ZK_CAUSE_REMOVED;
    if (!data || length == 0 || !ZK_Channel_hasPort(channel) || address % ZK_FLASH_PAGE)
        return 0;
    uint32_t raised = 0;
    if (!pageLength(length, &raised))
        return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t fill = raised - length;
    // The device checks the image it will unpack, not the bytes it is sent;
    // either way the padding counts as 0xFF bytes.
    uint32_t checksum =
        (scrambled ? ZK_Data_descrambledSum(bytes, length) : ZK_Bytes_sum(bytes, length)) +
        255u * fill;
    return writeCommand(channel, address, bytes, length, raised, scrambled ? length : 0, mode,
                        checksum) == ZK_CMD_OK;
}
