// The report engine: what the device does with each output report, and the
// input reports it produces in answer. Its own encoder and decoder, kept apart
// from the tool's protocol code so that the two check each other.
#include "sim_internal.h"

#include "package/keys.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

uint32_t getU32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void putU32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

uint32_t byteSum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}

// Picks the fault for a command: the first queued one whose code matches.
void selectFault(Core& core, uint8_t code) {
    core.active.reset();
    for (auto it = core.faults.begin(); it != core.faults.end(); ++it) {
        if (it->onCode != 0 && it->onCode != code)
            continue;
        if (it->skipCommands > 0) {
            --it->skipCommands;
            return;
        }
        core.active = *it;
        core.faults.erase(it);
        return;
    }
}

SimFaultKind activeKind(const Core& core) {
    return core.active ? core.active->kind : SIM_FAULT_NONE;
}

// The reply report with the active fault applied; none for SIM_FAULT_NO_REPLY.
// Records the status in the command's traffic entry.
std::optional<InputReport> makeReply(Core& core, uint8_t code, uint32_t status, uint32_t value) {
    SimFaultKind kind = activeKind(core);
    if (kind == SIM_FAULT_STATUS && status == kStatusOk)
        status = kStatusInjected;
    if (core.trafficIndex < core.traffic.size())
        core.traffic[core.trafficIndex].status = status;
    if (kind == SIM_FAULT_NO_REPLY)
        return std::nullopt;

    Block block;
    block.code = code;
    block.paramA = status;
    block.paramB = value;
    if (kind == SIM_FAULT_BAD_HEADER)
        block.headerLength = kHeaderLength + 1;
    if (kind == SIM_FAULT_BAD_SIGNATURE)
        block.signature = 0x58444948u; // "HIDX"
    InputReport reply;
    reply.bytes.assign(kReportSize, 0);
    encodeBlock(block, reply.bytes.data() + 1);
    if (kind == SIM_FAULT_BAD_CHECKSUM)
        putU32(reply.bytes.data() + 1 + 23, block.checksum + 0x101u);
    if (kind == SIM_FAULT_DELAY || kind == SIM_FAULT_LATE_REPLY)
        reply.delayMs = core.active->delayMs;
    reply.late = kind == SIM_FAULT_LATE_REPLY;
    return reply;
}

void queue(Core& core, std::optional<InputReport> report, Clock::time_point now) {
    if (!report)
        return;
    report->readyAt = now + std::chrono::milliseconds(report->delayMs);
    core.output.push_back(std::move(*report));
    core.changed.notify_all();
}

bool inFlash(const Core& core, uint64_t address, uint64_t length) {
    return address <= core.flashSize && length <= core.flashSize - address;
}

void finishWrite(Core& core, Clock::time_point now) {
    core.writing = false;
    uint32_t status = core.writeStatus;
    if (status == kStatusOk) {
        uint32_t sum;
        if (core.writeParamC == 0) {
            sum = byteSum(core.writeData.data(), core.writeData.size());
        } else {
            // A scrambled image: the sum covers its descrambled form over the
            // unpadded length, and 255 for every padding byte.
            std::vector<uint8_t> plain(core.writeData.begin(),
                                       core.writeData.begin() + core.writeParamC);
            descramble(plain.data(), plain.size());
            sum = byteSum(plain.data(), plain.size()) +
                  255u * (uint32_t)(core.writeLength - core.writeParamC);
        }
        if (sum != core.writeChecksum)
            status = kStatusChecksum;
    }
    if (status == kStatusOk && !core.writeData.empty()) {
        std::memcpy(core.flash.data() + core.writeAddress, core.writeData.data(),
                    core.writeData.size());
        if (!storeLocked(core, core.writeAddress, core.writeData.size()))
            status = SIM_STATUS_STORAGE;
    }
    std::vector<uint8_t>().swap(core.writeData);
    queue(core, makeReply(core, core.writeCode, status, (uint32_t)(core.writeLength / kPageSize)),
          now);
}

// Marks the device gone after an injected disconnect. True when it was
// plugged (the caller then finishes the unplug).
bool disconnectLocked(Core& core) {
    resetExchangeLocked(core);
    if (!core.plugged)
        return false;
    core.plugged = false;
    ++core.generation;
    core.changed.notify_all();
    return true;
}

void serveCommand(Core& core, const uint8_t* payload, Clock::time_point now) {
    Block b = decodeBlock(payload);
    bool valid = b.headerLength == kHeaderLength && b.signature == kSignature &&
                 b.checksum == blockSum(payload);

    // A new command abandons whatever the last one left unread, but for a
    // late reply, which like a report in the kernel's queue is already on its way.
    std::erase_if(core.output, [](const InputReport& r) { return !r.late; });
    core.readRemaining = 0;
    core.readReply.reset();
    core.shortNext = SIZE_MAX;

    SimTraffic entry{};
    entry.code = b.code;
    entry.paramA = b.paramA;
    entry.paramB = b.paramB;
    entry.paramC = b.paramC;
    entry.mode = b.mode;
    entry.paramD = b.paramD;
    entry.status = kStatusPending;
    core.traffic.push_back(entry);
    core.trafficIndex = core.traffic.size() - 1;

    if (activeKind(core) == SIM_FAULT_SHORT_REPORT)
        core.shortNext = core.active->shortCount;

    if (!valid) {
        queue(core, makeReply(core, b.code, kStatusBadBlock, 0), now);
        return;
    }

    switch (b.code) {
    case 0xF1: { // erase sectors
        uint64_t address = (uint64_t)b.paramA * kSectorSize;
        uint64_t length = (uint64_t)b.paramB * kSectorSize;
        uint32_t status = kStatusOk;
        if (!inFlash(core, address, length))
            status = kStatusRange;
        else if (activeKind(core) != SIM_FAULT_STATUS) {
            std::memset(core.flash.data() + address, 0xFF, length);
            if (!storeLocked(core, address, length))
                status = SIM_STATUS_STORAGE;
        }
        queue(core, makeReply(core, b.code, status, 0), now);
        return;
    }
    case 0xF2: { // read pages
        uint64_t address = (uint64_t)b.paramA * kPageSize;
        uint64_t length = (uint64_t)b.paramB * kPageSize;
        uint32_t status = kStatusOk;
        if (b.mode > 1)
            status = kStatusBadParams;
        else if (!inFlash(core, address, length))
            status = kStatusRange;
        std::optional<InputReport> reply = makeReply(core, b.code, status, b.paramB);
        if (status != kStatusOk || length == 0) {
            queue(core, std::move(reply), now); // refused: no data phase
            return;
        }
        core.traffic[core.trafficIndex].dataLength = (uint32_t)length;
        core.readAddress = address;
        core.readRemaining = length;
        core.readReply = std::move(reply);
        core.changed.notify_all();
        return;
    }
    case 0xF3: { // write pages
        uint64_t address = (uint64_t)b.paramA * kPageSize;
        uint64_t length = (uint64_t)b.paramB * kPageSize;
        uint32_t status = kStatusOk;
        if (b.mode > 1 || b.paramC > length)
            status = kStatusBadParams;
        else if (!inFlash(core, address, length))
            status = kStatusRange;
        else if (activeKind(core) == SIM_FAULT_STATUS)
            status = kStatusInjected; // a failing device keeps its flash
        core.writing = true;
        core.writeCode = b.code;
        core.writeAddress = address;
        core.writeLength = length;
        core.writeReceived = 0;
        core.writeParamC = b.paramC;
        core.writeChecksum = b.paramD;
        core.writeStatus = status;
        core.writeData.clear();
        if (status == kStatusOk)
            core.writeData.reserve(length);
        if (length == 0)
            finishWrite(core, now);
        return;
    }
    case 0xF4:   // complete
    case 0xF7:   // boot version
    case 0xF9:   // refuse
    case 0xFB: { // flash size
        uint32_t status = kStatusOk, value = 0;
        if (b.paramA != kFixedParamA || b.paramB != kFixedParamB)
            status = kStatusBadParams;
        else if (b.code == 0xF7)
            value = core.bootVersion;
        else if (b.code == 0xFB)
            value = core.flashSize;
        queue(core, makeReply(core, b.code, status, value), now);
        return;
    }
    default:
        queue(core, makeReply(core, b.code, kStatusUnknownCode, 0), now);
        return;
    }
}

} // namespace

uint32_t blockSum(const uint8_t in[kBlockSize]) {
    return byteSum(in, 23);
}

void encodeBlock(const Block& block, uint8_t out[kBlockSize]) {
    out[0] = block.code;
    out[1] = block.headerLength;
    putU32(out + 2, block.paramA);
    putU32(out + 6, block.paramB);
    putU32(out + 10, block.paramC);
    out[14] = block.mode;
    putU32(out + 15, block.paramD);
    putU32(out + 19, block.signature);
    putU32(out + 23, blockSum(out));
}

Block decodeBlock(const uint8_t in[kBlockSize]) {
    Block b;
    b.code = in[0];
    b.headerLength = in[1];
    b.paramA = getU32(in + 2);
    b.paramB = getU32(in + 6);
    b.paramC = getU32(in + 10);
    b.mode = in[14];
    b.paramD = getU32(in + 15);
    b.signature = getU32(in + 19);
    b.checksum = getU32(in + 23);
    return b;
}

void descramble(uint8_t* data, size_t length) {
    uint32_t key = ZK_DESCRAMBLE_SEED, sum = 0, count = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        uint8_t* g = data + i;
        g[2] ^= g[0];
        g[3] ^= g[1];
        uint32_t word = getU32(g) ^ key;
        putU32(g, word);
        sum += word;
        count += 4;
        if (count == 256) {
            key = sum;
            sum = 0;
            count = 0;
        }
    }
}

void resetExchangeLocked(Core& core) {
    core.writing = false;
    std::vector<uint8_t>().swap(core.writeData);
    core.readRemaining = 0;
    core.readReply.reset();
    core.output.clear();
    core.active.reset();
    core.shortNext = SIZE_MAX;
    core.disconnectIn = -1;
}

bool receiveLocked(Core& core, const uint8_t payload[kPayloadSize], Clock::time_point now) {
    if (core.disconnectIn == 0)
        return disconnectLocked(core);
    if (core.disconnectIn > 0)
        --core.disconnectIn;

    if (core.raw.size() / kReportSize < core.rawLimit) {
        core.raw.push_back(0);
        core.raw.insert(core.raw.end(), payload, payload + kPayloadSize);
    }

    if (core.writing) {
        uint64_t take = std::min<uint64_t>(kPayloadSize, core.writeLength - core.writeReceived);
        if (core.writeStatus == kStatusOk)
            core.writeData.insert(core.writeData.end(), payload, payload + take);
        core.writeReceived += take;
        if (core.trafficIndex < core.traffic.size())
            core.traffic[core.trafficIndex].dataLength = (uint32_t)core.writeReceived;
        if (core.writeReceived == core.writeLength)
            finishWrite(core, now);
        return false;
    }

    selectFault(core, payload[0]);
    if (activeKind(core) == SIM_FAULT_DISCONNECT) {
        core.disconnectIn = core.active->afterReports;
        if (core.disconnectIn <= 0) {
            // Gone before acting on the command.
            core.traffic.push_back(SimTraffic{payload[0], getU32(payload + 2), getU32(payload + 6),
                                              getU32(payload + 10), payload[14],
                                              getU32(payload + 15), 0, kStatusPending});
            core.disconnectIn = -1;
            return disconnectLocked(core);
        }
    }
    serveCommand(core, payload, now);
    return false;
}

bool takeLocked(Core& core, std::vector<uint8_t>* report, Clock::time_point now,
                Clock::time_point* wakeAt, bool* disconnected) {
    *disconnected = false;
    *wakeAt = Clock::time_point::max();
    bool queued = !core.output.empty();
    if (queued && core.output.front().readyAt > now) {
        *wakeAt = core.output.front().readyAt;
        return false;
    }
    if (!queued && core.readRemaining == 0)
        return false;
    if (core.disconnectIn == 0) {
        *disconnected = disconnectLocked(core);
        return false;
    }
    if (core.disconnectIn > 0)
        --core.disconnectIn;

    if (queued) {
        *report = std::move(core.output.front().bytes);
        core.output.pop_front();
        if (core.shortNext != SIZE_MAX) {
            report->resize(std::min(report->size(), core.shortNext));
            core.shortNext = SIZE_MAX;
        }
        return true;
    }

    // The next data report of a read. A short report is cut on the way: the
    // device has sent the whole 64 bytes, the missing ones are lost.
    size_t payload = (size_t)std::min<uint64_t>(kPayloadSize, core.readRemaining);
    report->assign(kReportSize, 0);
    std::memcpy(report->data() + 1, core.flash.data() + core.readAddress, payload);
    if (core.shortNext != SIZE_MAX) {
        report->resize(std::min(core.shortNext, kReportSize));
        core.shortNext = SIZE_MAX;
    }
    core.readAddress += payload;
    core.readRemaining -= payload;
    if (core.readRemaining == 0 && core.readReply) {
        queue(core, std::move(core.readReply), now);
        core.readReply.reset();
    }
    return true;
}

} // namespace sim
