#include "app/core/provinces.h"

#include "package/merge.h"
#include "package/package.h"
#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr const char* kEnglish[ZK_PROVINCE_COUNT] = {
    "Beijing",       "Shanghai", "Tianjin", "Chongqing", "Heilongjiang", "Jilin",    "Liaoning",
    "InnerMongolia", "Hebei",    "Shanxi",  "Shaanxi",   "Shandong",     "Xinjiang", "Tibet",
    "Qinghai",       "Gansu",    "Ningxia", "Henan",     "Jiangsu",      "Hubei",    "Zhejiang",
    "Anhui",         "Fujian",   "Jiangxi", "Hunan",     "Guizhou",      "Sichuan",  "Guangdong",
    "Yunnan",        "Guangxi",  "Hainan",  "HongKong",  "Macao",        "Taiwan"};

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool sameLetters(const std::string& a, const char* b) {
    std::string x, y;
    for (char c : a)
        if (c != ' ' && c != '-')
            x += (char)std::tolower((unsigned char)c);
    for (const char* p = b; *p; ++p)
        y += (char)std::tolower((unsigned char)*p);
    return x == y;
}

} // namespace

uint32_t ZK_Provinces_bytes(const UpdatePackage* package, int index) {
    if (!package || index < 0 || index >= ZK_PROVINCE_COUNT)
        return 0;
    int e = ZK_Package_findProvince(package, index);
    if (e < 0)
        return 0;
    uint64_t bytes =
        (uint64_t)package->province.provinces[e].recordCount * package->province.recordSize;
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)bytes;
}

uint32_t ZK_Provinces_kilobytes(const UpdatePackage* package, int index) {
    return ZK_Provinces_bytes(package, index) / 1024;
}

std::string ZK_Provinces_name(int index) {
    if (index < 0 || index >= ZK_PROVINCE_COUNT)
        return {};
    return ZK_Text_gbkToUtf8(ProvinceTable[index], sizeof ProvinceTable[index]);
}

const char* ZK_Provinces_englishName(int index) {
    return index >= 0 && index < ZK_PROVINCE_COUNT ? kEnglish[index] : "";
}

int ZK_Provinces_find(const std::string& text) {
    std::string item = trim(text);
    if (item.empty())
        return -1;
    if (std::all_of(item.begin(), item.end(),
                    [](char c) { return std::isdigit((unsigned char)c); }))
        return item.size() <= 2 && std::atoi(item.c_str()) < ZK_PROVINCE_COUNT
                   ? std::atoi(item.c_str())
                   : -1;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i)
        if (item == ZK_Provinces_name(i) || sameLetters(item, kEnglish[i]))
            return i;
    return -1;
}

bool ZK_Provinces_parseList(const std::string& list, std::vector<int>* out, std::string* bad) {
    out->clear();
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item = trim(
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        int found = ZK_Provinces_find(item);
        if (found < 0) {
            if (bad)
                *bad = item;
            return false;
        }
        if (std::find(out->begin(), out->end(), found) == out->end())
            out->push_back(found);
    }
    return true;
}

ProvinceSelection::ProvinceSelection(const UpdatePackage* package, uint32_t capacity)
    : package_(package), capacity_(capacity) {}

bool ProvinceSelection::ticked(int index) const {
    return index >= 0 && index < ZK_PROVINCE_COUNT && ticked_[index];
}

uint64_t ProvinceSelection::totalBytes() const {
    uint64_t total = 0;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i)
        if (ticked_[i])
            total += ZK_Provinces_bytes(package_, i);
    return total;
}

int ProvinceSelection::set(int index, bool tick) {
    if (index < 0 || index >= ZK_PROVINCE_COUNT)
        return ZK_PROVINCES_OK;
    ticked_[index] = tick;
    // Only a total above the capacity is refused; equal fits.
    if (tick && totalBytes() > capacity_) {
        ticked_[index] = false;
        return ZK_PROVINCES_TOO_LARGE;
    }
    return ZK_PROVINCES_OK;
}

void ProvinceSelection::clear() {
    std::fill(std::begin(ticked_), std::end(ticked_), false);
}

int ProvinceSelection::confirm(int32_t flags[ZK_PROVINCE_COUNT]) const {
    int count = 0;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i)
        count += ticked_[i];
    if (count == 0)
        return ZK_PROVINCES_NONE;
    for (int i = 0; i < ZK_PROVINCE_COUNT; ++i)
        flags[i] = ticked_[i] ? 1 : 0;
    return ZK_PROVINCES_OK;
}

int ProvinceSelection::setList(const std::vector<int>& indexes) {
    for (int i : indexes)
        if (set(i, true) != ZK_PROVINCES_OK)
            return ZK_PROVINCES_TOO_LARGE;
    return ZK_PROVINCES_OK;
}

std::string ProvinceSelection::statusText() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "分省数据包，最多可储存（%dK)数据，超过无法升级，请在地图上勾选。已勾选(%dK)。",
                  (int)(capacity_ / 1024), (int)(totalBytes() / 1024));
    return text;
}
