// Command protocol against the simulator: report layout, reply validation,
// the data phases with their events, and the two flash operations.
#include "test_device_util.h"

#include "package/transform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace devtest;

namespace {

class Cmd : public SimChannel {};

TEST_F(Cmd, CommandReportIsBlockThenFill) {
    ASSERT_EQ(ZK_Cmd_send(channel, ZK_CMD_READ, 0x1E0, 3, 7, 5, 0xA1B2C3D4), 1);
    auto raw = ZK_Sim_rawReports(sim);
    ASSERT_EQ(raw.size(), 1u);
    const auto& r = raw[0];
    ASSERT_EQ(r.size(), 65u);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 0xF2);
    EXPECT_EQ(r[2], 0x17);
    std::vector<uint8_t> block(r.begin() + 1, r.begin() + 28);
    EXPECT_EQ(get32(block, 2), 0x1E0u);
    EXPECT_EQ(get32(block, 6), 3u);
    EXPECT_EQ(get32(block, 10), 7u);
    EXPECT_EQ(block[14], 1) << "a nonzero mode travels as 1";
    EXPECT_EQ(get32(block, 15), 0xA1B2C3D4u);
    EXPECT_EQ(std::string(block.begin() + 19, block.begin() + 23), "HIDC");
    EXPECT_EQ(get32(block, 23), sum(block, 0, 23));
    for (size_t i = 28; i < 65; ++i)
        EXPECT_EQ(r[i], 0xCC) << i;
}

TEST_F(Cmd, FixedCommandsAndTheirValues) {
    SimConfig c;
    c.name = "fixed";
    c.profile = "blank";
    c.bootVersion = 1203;
    c.flashSize = 0x400000;
    TearDown();
    start(c);
    EXPECT_EQ(ZK_Cmd_getVersion(channel), 1203u);
    EXPECT_EQ(ZK_Cmd_getFlashSize(channel), 0x400000u);
    EXPECT_EQ(ZK_Cmd_complete(channel), 1);
    EXPECT_EQ(ZK_Cmd_refuse(channel), 1);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 4u);
    uint8_t codes[] = {0xF7, 0xFB, 0xF4, 0xF9};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(t[i].code, codes[i]);
        EXPECT_EQ(t[i].paramA, 0x12345678u);
        EXPECT_EQ(t[i].paramB, 0xABCDEF01u);
        EXPECT_EQ(t[i].status, 0u);
    }
    EXPECT_TRUE(events.empty()) << "only the data commands report transfer events";
}

// A bad reply fails the command even after a good data phase.
TEST_F(Cmd, BadReplyFailsCommand) {
    for (SimFaultKind kind :
         {SIM_FAULT_BAD_SIGNATURE, SIM_FAULT_BAD_HEADER, SIM_FAULT_BAD_CHECKSUM}) {
        SCOPED_TRACE(kind);
        SimFault f;
        f.kind = kind;
        ZK_Sim_injectFault(sim, f);
        std::vector<uint8_t> buf(512);
        events.clear();
        EXPECT_EQ(ZK_Cmd_read(channel, 0x1000, buf.data(), 512, 0), ZK_CMD_ERR_REPLY);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), (Event{2, 0, 512})) << "end event with 0 after a failure";
        EXPECT_EQ(events.size(), 2u + 8u) << "all eight data reports arrived";

        ZK_Sim_injectFault(sim, f);
        EXPECT_EQ(ZK_Cmd_getVersion(channel), 0u);
        ZK_Sim_injectFault(sim, f);
        EXPECT_EQ(ZK_Cmd_erase(channel, 0, 4096), ZK_CMD_ERR_DATA);
    }
}

// A reply that comes after the tool gave up waits in the input queue; the
// next command must not take it for its own answer.
TEST_F(Cmd, LateReplyDoesNotAnswerTheNextCommand) {
    SimFault f;
    f.kind = SIM_FAULT_LATE_REPLY;
    f.onCode = ZK_CMD_GET_VERSION;
    f.delayMs = 1100;
    ZK_Sim_injectFault(sim, f);
    uint32_t value = 0;
    EXPECT_EQ(ZK_Cmd_query(channel, ZK_CMD_GET_VERSION, &value), ZK_CMD_ERR_REPLY);
    for (int i = 0; i < 500 && ZK_Sim_pendingInputs(sim) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ZK_Sim_pendingInputs(sim), 1u) << "the late reply is queued";
    ASSERT_EQ(ZK_Cmd_query(channel, ZK_CMD_GET_FLASH_SIZE, &value), ZK_CMD_OK);
    EXPECT_EQ(value, ZK_Sim_flashSize(sim)) << "the flash-size reply, not the late version reply";
    EXPECT_EQ(ZK_Sim_pendingInputs(sim), 0u);
}

TEST_F(Cmd, StatusWordCountsFromBoot1046) {
    SimFault f;
    f.kind = SIM_FAULT_STATUS;
    channel->deviceVersion = 1045;
    ZK_Sim_injectFault(sim, f);
    EXPECT_EQ(ZK_Cmd_complete(channel), 1);
    CommandBlock reply{};
    ZK_Sim_injectFault(sim, f);
    ASSERT_EQ(ZK_Cmd_send(channel, ZK_CMD_COMPLETE, 0x12345678, 0xABCDEF01, 0, 0, 0), 1);
    EXPECT_EQ(ZK_Cmd_recvReply(channel, &reply), 1);
    EXPECT_NE(uint32_t(reply.paramA), 0u);

    channel->deviceVersion = 1046;
    ZK_Sim_injectFault(sim, f);
    EXPECT_EQ(ZK_Cmd_complete(channel), 0);
    ZK_Sim_injectFault(sim, f);
    ASSERT_EQ(ZK_Cmd_send(channel, ZK_CMD_COMPLETE, 0x12345678, 0xABCDEF01, 0, 0, 0), 1);
    reply = {};
    EXPECT_EQ(ZK_Cmd_recvReply(channel, &reply), 0);
    EXPECT_NE(uint32_t(reply.paramA), 0u) << "a reply refused by its status is still copied out";
    // A strict device answers a wrong write checksum with a status word.
    std::vector<uint8_t> page(256, 0x42);
    EXPECT_EQ(ZK_Cmd_write(channel, 0x2000, page.data(), 256, 0, 0, 12345), ZK_CMD_ERR_REPLY);
}

TEST_F(Cmd, ZeroLengthMovesNoData) {
    EXPECT_EQ(ZK_Cmd_read(channel, 0x2000, nullptr, 0, 0), ZK_CMD_OK);
    EXPECT_EQ(ZK_Cmd_write(channel, 0x2000, nullptr, 0, 0, 0, 0), ZK_CMD_OK);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].code, 0xF2);
    EXPECT_EQ(t[1].code, 0xF3);
    EXPECT_EQ(t[0].dataLength + t[1].dataLength, 0u);
    EXPECT_EQ(ZK_Sim_rawReports(sim).size(), 2u) << "two command reports, no data report";
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], (Event{0, 0, 0}));
    EXPECT_EQ(events[1].event, 2);
    EXPECT_EQ(events[3], (Event{2, 0, 0}));
}

TEST_F(Cmd, AlignmentRefusedBeforeSending) {
    std::vector<uint8_t> buf(8192);
    EXPECT_EQ(ZK_Cmd_read(channel, 0x1E080, buf.data(), 256, 0), ZK_CMD_ERR_ADDRESS);
    EXPECT_EQ(ZK_Cmd_read(channel, 0x1E000, buf.data(), 100, 0), ZK_CMD_ERR_LENGTH);
    EXPECT_EQ(ZK_Cmd_write(channel, 0x80, buf.data(), 256, 0, 0, 0), ZK_CMD_ERR_ADDRESS);
    EXPECT_EQ(ZK_Cmd_write(channel, 0x100, buf.data(), 300, 0, 0, 0), ZK_CMD_ERR_LENGTH);
    EXPECT_EQ(ZK_Cmd_erase(channel, 0x1100, 4096), ZK_CMD_ERR_ADDRESS);
    EXPECT_EQ(ZK_Cmd_erase(channel, 0x1000, 4000), ZK_CMD_ERR_LENGTH);
    EXPECT_EQ(ZK_Flash_write(channel, 0x10, buf.data(), 12, 0, 0), 0);
    EXPECT_EQ(ZK_Flash_write(channel, 0x100, buf.data(), 0, 0, 0), 0);
    EXPECT_EQ(ZK_Flash_write(channel, 0x100, nullptr, 12, 0, 0), 0);
    EXPECT_TRUE(ZK_Sim_rawReports(sim).empty());
    EXPECT_TRUE(events.empty());
}

TEST_F(Cmd, EraseSendsSectors) {
    std::vector<uint8_t> junk(8192, 0x00);
    ZK_Sim_writeFlash(sim, 0x3000, junk.data(), 8192);
    EXPECT_EQ(ZK_Cmd_erase(channel, 0x3000, 0x2000), ZK_CMD_OK);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].paramA, 3u);
    EXPECT_EQ(t[0].paramB, 2u);
    EXPECT_EQ(ZK_Sim_readFlash(sim, 0x3000, 8192), std::vector<uint8_t>(8192, 0xFF));
}

TEST_F(Cmd, ReadEventsAndData) {
    std::vector<uint8_t> image(512);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = (uint8_t)(i * 7 + 3);
    ZK_Sim_writeFlash(sim, 0x7000, image.data(), 512);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(ZK_Cmd_read(channel, 0x7000, buf.data(), 512, 1), ZK_CMD_OK);
    EXPECT_EQ(buf, image);
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events.front(), (Event{0, 0, 512}));
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(events[1 + i], (Event{1, 64, 64 * (i + 1)}));
    EXPECT_EQ(events.back().event, 2);
    EXPECT_EQ(events.back().b, 512u);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].paramA, 0x70u);
    EXPECT_EQ(t[0].paramB, 2u);
    EXPECT_EQ(t[0].mode, 1);
}

TEST_F(Cmd, FlashWriteOfTwelveBytesPadsOnePage) {
    std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(ZK_Flash_write(channel, 0x4000, data.data(), 12, 0, 0), 1);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].code, 0xF3);
    EXPECT_EQ(t[0].paramA, 0x40u);
    EXPECT_EQ(t[0].paramB, 1u);
    EXPECT_EQ(t[0].paramC, 0u);
    EXPECT_EQ(t[0].paramD, 78u + 244u * 255u) << "the fill bytes count in the checksum";
    EXPECT_EQ(t[0].dataLength, 256u);
    EXPECT_EQ(t[0].status, 0u);
    auto raw = ZK_Sim_rawReports(sim);
    ASSERT_EQ(raw.size(), 5u) << "command and four data reports";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), raw[1].begin() + 1));
    for (size_t i = 13; i < 65; ++i)
        EXPECT_EQ(raw[1][i], 0xFF);
    std::vector<uint8_t> page = data;
    page.resize(256, 0xFF);
    EXPECT_EQ(ZK_Sim_readFlash(sim, 0x4000, 256), page);
    EXPECT_EQ(events.back(), (Event{2, 256, 256}));
}

TEST_F(Cmd, ScrambledWriteChecksumsDescrambledImage) {
    std::vector<uint8_t> data(12);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(0xA0 + i * 13);
    std::vector<uint8_t> plain = data;
    ZK_Data_descramble(plain.size(), plain.data());
    ASSERT_NE(plain, data);
    ASSERT_EQ(ZK_Flash_write(channel, 0x5000, data.data(), 12, 1, 1), 1);
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].paramC, 12u) << "the unpadded length";
    EXPECT_EQ(t[0].mode, 1);
    EXPECT_EQ(t[0].paramD, sum(plain) + 244u * 255u);
    EXPECT_EQ(t[0].status, 0u) << "the simulator's own descramble agrees";
    auto stored = ZK_Sim_readFlash(sim, 0x5000, 12);
    EXPECT_EQ(stored, data) << "the device receives the data as given";
}

TEST_F(Cmd, FlashReadOfFiveBytesReadsOnePage) {
    std::vector<uint8_t> image(256);
    for (size_t i = 0; i < 256; ++i)
        image[i] = (uint8_t)i;
    ZK_Sim_writeFlash(sim, 0x6000, image.data(), 256);
    uint8_t dst[8];
    std::memset(dst, 0xEE, sizeof dst);
    ASSERT_EQ(ZK_Flash_read(channel, 0x6000, dst, 5, 0), 1);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 6), (std::vector<uint8_t>{0, 1, 2, 3, 4, 0xEE}));
    auto t = ZK_Sim_traffic(sim);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].paramB, 1u);
    EXPECT_EQ(t[0].dataLength, 256u);
    // A failed read leaves the destination alone.
    std::memset(dst, 0xEE, sizeof dst);
    SimFault f;
    f.kind = SIM_FAULT_BAD_CHECKSUM;
    ZK_Sim_injectFault(sim, f);
    EXPECT_EQ(ZK_Flash_read(channel, 0x6000, dst, 5, 0), 0);
    EXPECT_EQ(dst[0], 0xEE);
}

// A short data report contributes count - 1 bytes; the stream then runs one
// report behind, so the reply is taken as data and the real reply never comes.
TEST_F(Cmd, ShortReportAndTimeout) {
    SimFault f;
    f.kind = SIM_FAULT_SHORT_REPORT;
    f.shortCount = 20;
    ZK_Sim_injectFault(sim, f);
    std::vector<uint8_t> buf(256);
    EXPECT_EQ(ZK_Cmd_read(channel, 0, buf.data(), 256, 0), ZK_CMD_ERR_REPLY);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1], (Event{1, 19, 19}));
    EXPECT_EQ(events[2], (Event{1, 64, 83}));
    EXPECT_EQ(events.back(), (Event{2, 0, 256}));

    f = {};
    f.kind = SIM_FAULT_NO_REPLY;
    ZK_Sim_injectFault(sim, f);
    EXPECT_EQ(ZK_Cmd_complete(channel), 0);
    EXPECT_EQ(ZK_Cmd_complete(channel), 1) << "the next command works again";
}

// Chosen: a data report without payload fails the read (no endless wait).
TEST_F(Cmd, EmptyDataReportFailsRead) {
    for (size_t count : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(count);
        ZK_Sim_clearFaults(sim);
        SimFault f;
        f.kind = SIM_FAULT_SHORT_REPORT;
        f.shortCount = count;
        ZK_Sim_injectFault(sim, f);
        std::vector<uint8_t> buf(256, 0x77);
        events.clear();
        EXPECT_EQ(ZK_Cmd_read(channel, 0, buf.data(), 256, 0), ZK_CMD_ERR_DATA);
        EXPECT_EQ(events, (std::vector<Event>{{0, 0, 256}, {2, 0, 256}}));
        // Let the device finish the exchange before the next round.
        ZK_Sim_unplug(sim);
        ZK_Sim_plug(sim);
        HidPort* port = ZK_Port_open(ZK_Sim_path(sim).c_str());
        ASSERT_NE(port, nullptr);
        ZK_Channel_attachPort(channel, port);
    }
}

TEST_F(Cmd, DisconnectStopsDataPhase) {
    SimFault f;
    f.kind = SIM_FAULT_DISCONNECT;
    f.afterReports = 3;
    ZK_Sim_injectFault(sim, f);
    std::vector<uint8_t> data(1024, 0x33);
    EXPECT_EQ(ZK_Cmd_write(channel, 0x8000, data.data(), 1024, 0, 0, sum(data)), ZK_CMD_ERR_DATA);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().event, 2);
    EXPECT_LT(events.back().a, 1024u);
    EXPECT_EQ(events.back().a, events.back().b);
    EXPECT_EQ(ZK_Cmd_complete(channel), 0) << "nothing works on a vanished device";
    ZK_Channel_detachPort(channel);
    EXPECT_EQ(ZK_Cmd_complete(channel), 0);
    EXPECT_EQ(ZK_Cmd_read(channel, 0, data.data(), 256, 0), ZK_CMD_ERR_NOT_SENT);
    EXPECT_EQ(ZK_Flash_read(channel, 0, data.data(), 256, 0), 0);
}

} // namespace
