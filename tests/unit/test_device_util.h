// Shared set-up of the device tests: a simulated device reached through the
// real HID layer, and a small encoder for the flash records that writes them
// at their byte offsets independently of the tool's record types.
#pragma once

#include "device/cmd.h"
#include "device/link.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace devtest {

inline uint32_t sum(const std::vector<uint8_t>& v, size_t from = 0, size_t count = SIZE_MAX) {
    size_t end = count == SIZE_MAX ? v.size() : from + count;
    return std::accumulate(v.begin() + (long)from, v.begin() + (long)end, 0u);
}

inline void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + (size_t)i] = (uint8_t)(x >> (8 * i));
}

inline uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    return (uint32_t)v[at] | (uint32_t)v[at + 1] << 8 | (uint32_t)v[at + 2] << 16 |
           (uint32_t)v[at + 3] << 24;
}

// Main setting fields by their offsets in the 231-byte record.
struct MainFields {
    std::string board = "GHW7";
    uint32_t version = 3, programVersion = 1207;
    uint8_t useVoice4 = 0, plainData = 1;
    uint32_t serverAddr = 0x21000, serverSize = 0x8000;
    uint32_t updateToolSize = 0;
    uint32_t voiceAddr = 0x40000, voiceSize = 0x100000;
    uint32_t radarAddr = 0x30000, radarSize = 0x8000;
    uint32_t gpsAddr = 0x200000, gpsSize = 0x300000;
    uint32_t magic = 0x12345678;
};

inline std::vector<uint8_t> mainRecord(const MainFields& f) {
    std::vector<uint8_t> r(231, 0);
    put32(r, 0, f.version);
    std::memcpy(r.data() + 4, f.board.data(), std::min<size_t>(4, f.board.size()));
    put32(r, 8, f.programVersion);
    r[24] = f.useVoice4;
    r[25] = f.plainData;
    put32(r, 63, f.serverAddr);
    put32(r, 67, f.serverSize);
    put32(r, 75, f.updateToolSize);
    put32(r, 79, f.voiceAddr);
    put32(r, 83, f.voiceSize);
    put32(r, 87, f.radarAddr);
    put32(r, 91, f.radarSize);
    put32(r, 95, f.gpsAddr);
    put32(r, 99, f.gpsSize);
    put32(r, 227, f.magic);
    return r;
}

inline std::vector<uint8_t> serverRecord(const std::string& apn, uint32_t port) {
    std::vector<uint8_t> r(178, 0);
    std::memcpy(r.data(), apn.data(), apn.size());
    put32(r, 70, port);
    put32(r, 174, 0x12345678);
    return r;
}

// A 256-byte slot: byte sum of the record, the record, erased rest.
inline std::vector<uint8_t> slot(const std::vector<uint8_t>& record) {
    std::vector<uint8_t> s(256, 0xFF);
    put32(s, 0, sum(record));
    std::copy(record.begin(), record.end(), s.begin() + 4);
    return s;
}

// A parameter sector of `form` carrying board and program where the form keeps them.
inline std::vector<uint8_t> paramSector(int form, const std::string& board, uint32_t program) {
    std::vector<uint8_t> s(256, 0);
    auto R = [&](size_t at) -> uint8_t& { return s[4 + at]; };
    uint32_t boardWord = 0;
    std::memcpy(&boardWord, board.data(), std::min<size_t>(4, board.size()));
    size_t summed = 0;
    switch (form) {
    case 5:
    case 4:
    case 3:
        put32(s, 4 + 0, boardWord);
        put32(s, 4 + 4, program);
        summed = form == 5 ? 111 : form == 4 ? 64 : 170;
        put32(s, 4 + (form == 5 ? 107 : form == 4 ? 60 : 166), 0x12345678);
        break;
    case 2:
        R(0) = 0x11; // settings bytes before the board
        put32(s, 4 + 24, boardWord);
        put32(s, 4 + 28, program);
        summed = 72;
        break;
    case 1:
        R(0) = 0x21;
        R(10) = 0x05;
        R(40) = 0x7; // outside the 24 summed bytes, so not form 2
        summed = 24;
        break;
    }
    put32(s, 0, sum(s, 4, summed));
    return s;
}

inline std::vector<uint8_t> clientBlock(const std::string& name) {
    std::vector<uint8_t> b(256, 0xFF);
    std::memcpy(b.data(), name.data(), name.size());
    b[name.size()] = 0;
    return b;
}

// First page of a data region with stamp words 0 and 1.
inline std::vector<uint8_t> regionPage(uint32_t word0, uint32_t word1) {
    std::vector<uint8_t> p(256, 0x5A);
    put32(p, 0, word0);
    put32(p, 4, word1);
    return p;
}

inline void write(SimDevice* sim, uint32_t address, const std::vector<uint8_t>& bytes) {
    ZK_Sim_writeFlash(sim, address, bytes.data(), (uint32_t)bytes.size());
}

// Transfer events as the hook saw them.
struct Event {
    int event;
    uint32_t a, b;
    bool operator==(const Event& o) const { return event == o.event && a == o.a && b == o.b; }
};
inline void recordEvent(void* user, int event, uint32_t a, uint32_t b) {
    static_cast<std::vector<Event>*>(user)->push_back({event, a, b});
}

// A simulated device plugged in, and a bare channel with a port on it.
class SimChannel : public ::testing::Test {
  protected:
    void SetUp() override { start(config()); }
    void TearDown() override {
        ZK_Channel_destroy(channel);
        ZK_Sim_destroy(sim);
    }
    virtual SimConfig config() {
        SimConfig c;
        c.profile = "blank";
        return c;
    }
    void start(const SimConfig& c) {
        sim = ZK_Sim_create(c);
        ASSERT_NE(sim, nullptr);
        ZK_Sim_plug(sim);
        channel = ZK_Channel_create();
        ASSERT_NE(channel, nullptr);
        HidPort* port = ZK_Port_open(ZK_Sim_path(sim).c_str());
        ASSERT_NE(port, nullptr);
        ZK_Channel_attachPort(channel, port);
        channel->deviceVersion = c.bootVersion;
        channel->transferHook = recordEvent;
        channel->transferUser = &events;
    }
    SimDevice* sim = nullptr;
    CommandChannel* channel = nullptr;
    std::vector<Event> events;
};

} // namespace devtest
