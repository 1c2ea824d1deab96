#include "app/core/packagecheck.h"

#include "support/text.h"

std::vector<std::string> ZK_Package_unreadableRegions(const UpdatePackage* p) {
    std::vector<std::string> out;
    if (!p)
        return out;
    int slots = p->trailerForm == ZK_TRAILER_520 ? ZK_SLOT_COUNT : 5;
    for (int slot = 1; slot <= slots; ++slot) {
        const PackageSlotInfo* info = ZK_Package_slotInfo(slot);
        const PackageSlot& s = p->slots[slot];
        if (!s.size || (info->needsVersion5 && p->formatVersion < 5))
            continue;
        bool loaded;
        if (slot == ZK_SLOT_PROGRAMS)
            loaded = p->programCount > 0;
        else if (slot == ZK_SLOT_PROVINCE_LEGACY)
            loaded = p->provinceLegacy.size > 0;
        else if (slot == ZK_SLOT_PROVINCE)
            loaded = p->province.size > 0;
        else
            loaded = ZK_Package_region(p, slot)->size > 0;
        if (!loaded)
            out.push_back(std::string("region ") + info->name + " (slot " + std::to_string(slot) +
                          ") cannot be read");
    }
    for (uint32_t i = 0; i < p->programCount; ++i)
        if (p->programs[i].size && !p->programs[i].loaded)
            out.push_back("program image " + std::to_string(i) + " (" +
                          ZK_Text_display(p->programs[i].board, 4) + ") cannot be read");
    return out;
}
