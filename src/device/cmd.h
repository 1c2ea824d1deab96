// Command protocol: the 27-byte command block, every command of the device,
// and the two flash operations built on them (page-wise read, padded and
// checksummed write).
//
// Every command takes the channel's port for its whole exchange (command
// report, data reports, reply), so a port closed meanwhile stays valid until
// the command returns; the command then fails at its next report. Nothing is
// retried and nothing is shown; callers map the codes to their own texts.
// One command at a time per channel: the report buffer is shared.
#pragma once

#include "device/port.h"

#include <bit>
#include <cstddef>
#include <cstdint>

enum ZK_CmdCode : uint8_t {
    ZK_CMD_ERASE = 0xF1,
    ZK_CMD_READ = 0xF2,
    ZK_CMD_WRITE = 0xF3,
    ZK_CMD_COMPLETE = 0xF4,
    ZK_CMD_GET_VERSION = 0xF7,
    ZK_CMD_REFUSE = 0xF9,
    ZK_CMD_GET_FLASH_SIZE = 0xFB,
};

// Results of erase, read and write.
enum ZK_CmdResult {
    ZK_CMD_OK = 0,
    ZK_CMD_ERR_ADDRESS = -1,  // address not a multiple of the sector or page
    ZK_CMD_ERR_LENGTH = -2,   // length not a multiple of the sector or page
    ZK_CMD_ERR_NOT_SENT = -3, // the command report could not be sent
    ZK_CMD_ERR_DATA = -4,     // a data report failed (erase: the reply was bad)
    ZK_CMD_ERR_REPLY = -5,    // reply missing or invalid
};

constexpr size_t ZK_BLOCK_SIZE = 27;
constexpr uint8_t ZK_BLOCK_HEADER_LENGTH = 0x17;
constexpr uint32_t ZK_BLOCK_SIGNATURE = 0x43444948u; // "HIDC"
constexpr uint32_t ZK_CMD_FIXED_A = 0x12345678u;     // paramA/paramB of the fixed commands
constexpr uint32_t ZK_CMD_FIXED_B = 0xABCDEF01u;
constexpr uint32_t ZK_STATUS_CHECK_VERSION = 1046; // from this boot version on, status counts
constexpr uint32_t ZK_FLASH_SECTOR = 4096;
constexpr uint32_t ZK_FLASH_PAGE = 256;

// Sent and read by overlay: the wire and this host must agree on byte order.
static_assert(std::endian::native == std::endian::little,
              "the command block needs a little-endian host");

#pragma pack(push, 1)
// The block as it travels (little-endian on the wire and on this host).
struct CommandBlock {
    uint8_t code;
    uint8_t headerLength; // 0x17
    uint32_t paramA;      // reply: status word
    uint32_t paramB;      // reply: returned value
    uint32_t paramC;
    uint8_t mode;
    uint32_t paramD;
    uint32_t signature; // "HIDC"
    uint32_t checksum;  // byte sum of bytes 0..22
};
#pragma pack(pop)
static_assert(sizeof(CommandBlock) == ZK_BLOCK_SIZE);

// Builds the block and sends it as one report: id 0, block, 37 x 0xCC.
// 1 sent, 0 not (no port, closed port, failed write). Nonzero mode goes as 1.
[[nodiscard]] int ZK_Cmd_send(CommandChannel* channel, uint8_t code, uint32_t paramA,
                              uint32_t paramB, uint32_t paramC, uint8_t mode, uint32_t paramD);
// Reads one report (at most 1000 ms) and validates it as a reply: header
// length 0x17, "HIDC", byte sum; from deviceVersion 1046 on also status 0.
// A reply that passes the header checks is copied to *block (optional) even
// when its status then refuses it. 1 valid, 0 not.
[[nodiscard]] int ZK_Cmd_recvReply(CommandChannel* channel, CommandBlock* block);

// ZK_CmdResult; erase returns -4 for a bad reply (it has no data phase).
[[nodiscard]] int ZK_Cmd_erase(CommandChannel* channel, uint32_t address, uint32_t length);
// Reads `length` bytes (multiple of 256) into `buffer`. Events 0, 1 per data
// report, 2 after the reply or the failure. A data report without payload
// (count 0 or 1) fails the read with -4 rather than waiting for more.
[[nodiscard]] int ZK_Cmd_read(CommandChannel* channel, uint32_t address, uint8_t* buffer,
                              uint32_t length, uint8_t mode);
// Sends `length` bytes (multiple of 256) in 64-byte data reports.
[[nodiscard]] int ZK_Cmd_write(CommandChannel* channel, uint32_t address, const uint8_t* data,
                               uint32_t length, uint32_t paramC, uint8_t mode, uint32_t checksum);
// Fixed commands. complete/refuse: 1 ok, 0 failed. getVersion/getFlashSize:
// the reply's paramB, 0 on failure.
[[nodiscard]] int ZK_Cmd_complete(CommandChannel* channel);
[[nodiscard]] int ZK_Cmd_refuse(CommandChannel* channel);
[[nodiscard]] uint32_t ZK_Cmd_getVersion(CommandChannel* channel);
// A fixed command whose answer is the reply's paramB (0xF7, 0xFB): ZK_CMD_OK
// with *value set, -3 not sent or -5 no valid reply (*value untouched), so
// that a lost reply is never taken for the value 0.
[[nodiscard]] int ZK_Cmd_query(CommandChannel* channel, uint8_t code, uint32_t* value);
[[nodiscard]] uint32_t ZK_Cmd_getFlashSize(CommandChannel* channel);

// Reads `length` bytes at `address` (multiple of 256) in whole pages through
// a temporary buffer; `destination` is untouched on failure. 1 / 0.
// ZK_Flash_readResult does the same and returns the ZK_CmdResult instead.
[[nodiscard]] int ZK_Flash_read(CommandChannel* channel, uint32_t address, void* destination,
                                uint32_t length, uint8_t mode);
[[nodiscard]] int ZK_Flash_readResult(CommandChannel* channel, uint32_t address, void* destination,
                                      uint32_t length, uint8_t mode);
// Writes `data` padded with 0xFF to whole pages. The checksum (paramD) is the
// byte sum of the padded pages; for a scrambled image it covers the
// descrambled data plus 255 per fill byte, and paramC carries the unpadded
// length. The device receives the data as given. 1 / 0; nothing is sent for
// no data, length 0, no port or an address that is not a multiple of 256.
[[nodiscard]] int ZK_Flash_write(CommandChannel* channel, uint32_t address, const void* data,
                                 uint32_t length, int scrambled, uint8_t mode);
