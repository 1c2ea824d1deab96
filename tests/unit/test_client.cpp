// Client identity: the table lookup and which devices this build takes.
#include "app/core/client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> block(const std::string& text, uint8_t fill = 0) {
    std::vector<uint8_t> b(ZK_CLIENT_BLOCK_SIZE, fill);
    std::memcpy(b.data(), text.data(), text.size());
    return b;
}

TEST(ClientTable, ListedRowsAndDistinctNames) {
    EXPECT_EQ(std::string(ZK_Client_row(0)), std::string(21, ' '));
    EXPECT_STREQ(ZK_Client_row(1), "Qirune/Fellodo");
    EXPECT_STREQ(ZK_Client_row(64), "TAVO");
    EXPECT_EQ(ZK_Client_row(67), nullptr);
    EXPECT_STREQ(CLIENT_TAG, "TAVO");
    EXPECT_EQ(TOOL_VERSION, 425);
    // An invented row that started like a listed one would steal its lookups.
    for (int i = 0; i < ZK_CLIENT_ROWS; ++i) {
        std::string name = ZK_Client_row(i);
        auto b = block(name);
        EXPECT_EQ(LookupClient(b.data(), b.size()), i) << name;
    }
}

TEST(ClientTable, DeviceAcceptance) {
    struct Case {
        std::vector<uint8_t> block;
        int accepted;
        const char* why;
    } cases[] = {
        {block("TAVO-EU 2026"), 1, "own client tag with more text"},
        {block(std::string(21, ' ')), 0, "row 0, no client"},
        {block("Qirune/Fellodo"), 0, "another listed client"},
        {block("", 0xFF), 1, "unread block"},
        {block("", 0x00), 1, "empty block"},
        {block("Zekano Pro"), 1, "accepted partner"},
        {block("Sudrenix"), 1, "accepted partner"},
        {block("Halvorin"), 1, "accepted partner"},
        {block("Namberi"), 0, "listed client"},
        {block("Unknown Co"), 1, "not in the table"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDeviceClientAccepted(nullptr, c.block.data()), c.accepted) << c.why;
    auto z = block("Zekano-something-longer");
    EXPECT_EQ(LookupClient(z.data(), z.size()), 5);
}

TEST(ClientTable, PackageTitle) {
    auto t = block("TAVO 2026-12 full");
    EXPECT_TRUE(ZK_Client_titleMatches(t.data(), t.size()));
    auto o = block("TAVX 2026");
    EXPECT_FALSE(ZK_Client_titleMatches(o.data(), o.size()));
    EXPECT_FALSE(ZK_Client_titleMatches(t.data(), 3));
}

} // namespace
