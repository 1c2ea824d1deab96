// Province selection rules, shared by the province dialog and the terminal
// prompt: sizes, the capacity check, "at least one", and names.
//
// Qt-free. A ProvinceSelection is the dialog's state (34 ticks over one
// package and one capacity); it decides, the front-ends draw and word.
#pragma once

#include "package/province.h"

#include <cstdint>
#include <string>
#include <vector>

struct UpdatePackage;

// The dialog's own texts.
inline constexpr char ZK_TEXT_PROVINCE_CAPTION[] = "省份选择";
inline constexpr char ZK_TEXT_PROVINCE_TOO_LARGE[] = "选择的省份数据已超过设备可保存大小。";
inline constexpr char ZK_TEXT_PROVINCE_AT_LEAST_ONE[] = "至少需选择一个省数据！";

// Bytes of province `index` (ProvinceTable order) in the package: record
// count times record size of the first entry with that name; 0 when the
// package has none (or no province list). Saturates at 0xFFFFFFFF.
uint32_t ZK_Provinces_bytes(const UpdatePackage* package, int index);
// The same in K as the dialog shows it (bytes / 1024, rounded down).
uint32_t ZK_Provinces_kilobytes(const UpdatePackage* package, int index);

// The name of province `index` in UTF-8 ("北京") and in English ("Beijing");
// empty for an index outside 0..33.
std::string ZK_Provinces_name(int index);
const char* ZK_Provinces_englishName(int index);
// The index named by `item`: a decimal index 0..33, the Chinese name, or the
// English name (case, blanks and dashes ignored). -1 when none.
int ZK_Provinces_find(const std::string& item);
// A comma-separated list of such items, duplicates dropped, in the given
// order. False with *bad set to the first unknown item.
[[nodiscard]] bool ZK_Provinces_parseList(const std::string& list, std::vector<int>* out,
                                          std::string* bad);

enum ZK_ProvinceVerdict {
    ZK_PROVINCES_OK = 0,
    ZK_PROVINCES_TOO_LARGE = 1, // the total is above the capacity
    ZK_PROVINCES_NONE = 2,      // nothing ticked
};

class ProvinceSelection {
  public:
    ProvinceSelection(const UpdatePackage* package, uint32_t capacity);
    uint32_t capacity() const { return capacity_; }
    bool ticked(int index) const;
    // Sum of the ticked provinces' bytes.
    uint64_t totalBytes() const;
    // Ticks or unticks a box as a click does. Ticking one that makes the
    // total exceed the capacity leaves it unticked and returns TOO_LARGE.
    int set(int index, bool ticked);
    void clear();
    // OK: NONE when nothing is ticked, else OK with the 34 flags set.
    int confirm(int32_t flags[ZK_PROVINCE_COUNT]) const;
    // Ticks a whole list the way clicks in that order would, stopping at the
    // first that does not fit (TOO_LARGE; the earlier stay ticked).
    int setList(const std::vector<int>& indexes);
    // "分省数据包，最多可储存（%dK)数据，超过无法升级，请在地图上勾选。已勾选(%dK)。"
    std::string statusText() const;

  private:
    const UpdatePackage* package_;
    uint32_t capacity_;
    bool ticked_[ZK_PROVINCE_COUNT] = {};
};
