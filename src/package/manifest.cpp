#include "package/manifest.h"

#include "package/keys.h"
#include "package/package.h"
#include "support/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

using nlohmann::json;

namespace {

// A manifest error: where (JSON path) and what.
struct ManifestError {
    std::string text;
};

class Manifest {
  public:
    explicit Manifest(std::filesystem::path base) : base_(std::move(base)) {}

    PackageBuilder builder{};
    // Holds every block the builder borrows until the package is written.
    std::vector<std::unique_ptr<std::vector<uint8_t>>> blocks;
    std::vector<BuildProgram> programs;
    std::vector<BuildProvince> provinces, legacyProvinces;
    std::vector<std::string> notes;

    void parse(const json& root, PackageBuilder* b);

  private:
    std::filesystem::path base_;

    [[noreturn]] static void error(const std::string& where, const std::string& what) {
        throw ManifestError{where + ": " + what};
    }
    static void onlyKeys(const json& obj, const std::string& where,
                         std::initializer_list<const char*> keys) {
        if (!obj.is_object())
            error(where, "must be an object");
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            bool known = false;
            for (const char* k : keys)
                known = known || it.key() == k;
            if (!known)
                error(where, "unknown key \"" + it.key() + "\"");
        }
    }
    static uint32_t u32(const json& v, const std::string& where) {
        if (v.is_boolean())
            return v.get<bool>() ? 1 : 0;
        if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0))
            error(where, "must be an unsigned number");
        uint64_t n = v.get<uint64_t>();
        if (n > UINT32_MAX)
            error(where, "does not fit 32 bits");
        return (uint32_t)n;
    }
    static uint32_t date(const json& v, const std::string& where) {
        if (v.is_number())
            return u32(v, where);
        if (!v.is_string())
            error(where, "must be seconds or \"YYYY-MM-DD HH:MM:SS\"");
        unsigned y, mo, d, h, mi, s;
        char tail;
        if (std::sscanf(v.get<std::string>().c_str(), "%u-%u-%u %u:%u:%u%c", &y, &mo, &d, &h, &mi,
                        &s, &tail) != 6 ||
            y > 0xFFFF || mo > 255 || d > 255 || h > 255 || mi > 255 || s > 255)
            error(where, "must be seconds or \"YYYY-MM-DD HH:MM:SS\"");
        RegionDate rd{(uint8_t)s, (uint8_t)mi, (uint8_t)h, (uint8_t)d, (uint8_t)mo, (uint16_t)y};
        uint32_t seconds;
        if (!ZK_Date_toSeconds(&rd, &seconds))
            error(where, "is not a date between 1970 and 2106");
        return seconds;
    }
    const std::vector<uint8_t>& readBytes(const std::string& name, const std::string& where) {
        std::filesystem::path path = base_ / name;
        // A directory, FIFO or device (think /dev/zero) would block, throw or
        // read without end; only a regular file of bounded size is taken.
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            error(where, "cannot read " + path.string() + ": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            error(where, path.string() + " is not a regular file");
        if ((uint64_t)st.st_size > UINT32_MAX)
            error(where, path.string() + " is larger than 4 GiB");
        std::ifstream in(path, std::ios::binary);
        if (!in)
            error(where, "cannot read " + path.string());
        auto block = std::make_unique<std::vector<uint8_t>>(std::istreambuf_iterator<char>(in),
                                                            std::istreambuf_iterator<char>());
        if (block->size() > UINT32_MAX)
            error(where, path.string() + " is larger than 4 GiB");
        blocks.push_back(std::move(block));
        return *blocks.back();
    }
    // {"file": ...} or {"size": N, "seed": S} / {"size": N, "fill": B}.
    const std::vector<uint8_t>& content(const json& obj, const std::string& where) {
        if (obj.contains("file")) {
            if (obj.contains("size") || obj.contains("seed") || obj.contains("fill"))
                error(where, "give either \"file\" or \"size\" with \"seed\"/\"fill\"");
            if (!obj["file"].is_string())
                error(where + ".file", "must be a path");
            return readBytes(obj["file"].get<std::string>(), where + ".file");
        }
        if (!obj.contains("size"))
            error(where, "needs \"file\" or \"size\"");
        uint32_t size = u32(obj["size"], where + ".size");
        if (size > 256u * 1024 * 1024)
            error(where + ".size", "is larger than 256 MiB");
        auto block = std::make_unique<std::vector<uint8_t>>(size);
        if (obj.contains("fill"))
            std::fill(block->begin(), block->end(), (uint8_t)u32(obj["fill"], where + ".fill"));
        else
            ZK_Builder_fillPattern(block->data(), size,
                                   obj.contains("seed") ? u32(obj["seed"], where + ".seed") : 0);
        blocks.push_back(std::move(block));
        return *blocks.back();
    }
    static int slotByName(const std::string& name) {
        for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot)
            if (name == ZK_Package_slotInfo(slot)->name)
                return slot;
        return 0;
    }
    void parseProvinces(const json& obj, const std::string& where, bool legacy,
                        BuildProvinceRegion* out, std::vector<BuildProvince>* list);
};

void Manifest::parseProvinces(const json& obj, const std::string& where, bool legacy,
                              BuildProvinceRegion* out, std::vector<BuildProvince>* list) {
    if (legacy)
        onlyKeys(obj, where, {"date", "entries"});
    else
        onlyKeys(obj, where, {"date", "headerWord", "recordSize", "entries"});
    out->present = 1;
    out->dateWord = obj.contains("date") ? date(obj["date"], where + ".date") : 0;
    out->headerWord =
        obj.contains("headerWord") ? u32(obj["headerWord"], where + ".headerWord") : 0;
    out->recordSize = legacy                       ? ZK_PROVINCE_LEGACY_RECORD_SIZE
                      : obj.contains("recordSize") ? u32(obj["recordSize"], where + ".recordSize")
                                                   : 16;
    if (!obj.contains("entries") || !obj["entries"].is_array())
        error(where + ".entries", "must be a list");
    const json& entries = obj["entries"];
    list->assign(entries.size(), BuildProvince{});
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string at = where + ".entries[" + std::to_string(i) + "]";
        const json& e = entries[i];
        onlyKeys(e, at, {"name", "records", "seed", "fill", "file"});
        BuildProvince& p = (*list)[i];
        if (!e.contains("name") || !e["name"].is_string())
            error(at + ".name", "must be a text");
        std::string gbk;
        if (!ZK_Text_utf8ToGbk(e["name"].get<std::string>(), &gbk))
            error(at + ".name", "cannot be written in GBK");
        if (gbk.size() >= sizeof p.name)
            error(at + ".name", "is longer than 49 GBK bytes");
        std::memcpy(p.name, gbk.data(), gbk.size());
        p.recordCount = e.contains("records") ? u32(e["records"], at + ".records") : 0;
        uint64_t bytes = (uint64_t)p.recordCount * out->recordSize;
        if (bytes > 256u * 1024 * 1024)
            error(at + ".records", "make more than 256 MiB of records");
        if (e.contains("file")) {
            const std::vector<uint8_t>& data = content(e, at);
            if (data.size() != bytes)
                error(at + ".file", "holds " + std::to_string(data.size()) + " bytes, records x " +
                                        "record size is " + std::to_string(bytes));
            p.records = data.data();
        } else if (bytes) {
            json gen = {{"size", bytes}};
            if (e.contains("fill"))
                gen["fill"] = e["fill"];
            else
                gen["seed"] = e.contains("seed") ? e["seed"] : json(i);
            p.records = content(gen, at).data();
        }
    }
    out->count = (uint32_t)list->size();
    out->provinces = list->empty() ? nullptr : list->data();
}

void Manifest::parse(const json& root, PackageBuilder* b) {
    onlyKeys(root, "manifest",
             {"trailer", "version", "magic", "title", "regions", "programs", "province",
              "provinceLegacy"});
    uint32_t form = root.contains("trailer") ? u32(root["trailer"], "trailer") : 520;
    if (form != ZK_TRAILER_520 && form != ZK_TRAILER_320 && form != ZK_TRAILER_304)
        error("trailer", "must be 520, 320 or 304");
    ZK_Builder_init(b, form);
    if (root.contains("version")) {
        if (form != ZK_TRAILER_520)
            error("version", "only the 520-byte trailer has a format version");
        b->formatVersion = u32(root["version"], "version");
    }
    if (root.contains("magic")) {
        if (form != ZK_TRAILER_520)
            error("magic", "only the 520-byte trailer has a magic");
        const json& m = root["magic"];
        if (m == "plain")
            b->magic = ZK_MAGIC_PLAIN;
        else if (m == "cipher")
            b->magic = ZK_MAGIC_CIPHER;
        else if (m.is_number())
            b->magic = u32(m, "magic");
        else
            error("magic", "must be \"plain\", \"cipher\" or a number");
    }
    if (root.contains("title")) {
        if (!root["title"].is_string())
            error("title", "must be a text");
        std::string gbk;
        if (!ZK_Text_utf8ToGbk(root["title"].get<std::string>(), &gbk))
            error("title", "cannot be written in GBK");
        if (gbk.size() > 255)
            error("title", "is longer than 255 bytes");
        ZK_Builder_setTitle(b, gbk.c_str());
    }
    bool cipher = form == ZK_TRAILER_520 && b->magic == ZK_MAGIC_CIPHER;
    if (root.contains("regions")) {
        const json& regions = root["regions"];
        if (!regions.is_object())
            error("regions", "must be an object of region names");
        for (auto it = regions.begin(); it != regions.end(); ++it) {
            std::string where = "regions." + it.key();
            int slot = slotByName(it.key());
            if (!slot)
                error(where, "is not a region name");
            if (form != ZK_TRAILER_520 && slot > 5)
                notes.push_back(where + ": the " + std::to_string(form) +
                                "-byte trailer cannot name this slot; its bytes are written "
                                "but no reader will see them");
            onlyKeys(it.value(), where, {"file", "size", "seed", "fill", "scramble", "date"});
            const std::vector<uint8_t>& data = content(it.value(), where);
            BuildRegion& r = b->regions[slot];
            r.data = data.empty() ? nullptr : data.data();
            r.size = (uint32_t)data.size();
            r.scramble = it.value().contains("scramble")
                             ? u32(it.value()["scramble"], where + ".scramble")
                             : 0;
            if (it.value().contains("date")) {
                if (ZK_Package_slotInfo(slot)->dateSource == ZK_DATE_NONE ||
                    ZK_Package_slotInfo(slot)->dateSource == ZK_DATE_HEADER)
                    error(where + ".date", "this region carries no date word");
                r.hasDate = 1;
                r.dateSeconds = date(it.value()["date"], where + ".date");
            }
            if (cipher && ZK_Package_slotInfo(slot)->cipher && r.size % 8)
                notes.push_back(where + ": " + std::to_string(r.size) +
                                " bytes is not a multiple of 8; its last bytes will not "
                                "read back as given");
        }
    }
    if (root.contains("programs")) {
        const json& t = root["programs"];
        onlyKeys(t, "programs", {"headed", "entries"});
        if (!t.contains("entries") || !t["entries"].is_array())
            error("programs.entries", "must be a list");
        const json& entries = t["entries"];
        programs.assign(entries.size(), BuildProgram{});
        for (size_t i = 0; i < entries.size(); ++i) {
            std::string at = "programs.entries[" + std::to_string(i) + "]";
            const json& e = entries[i];
            if (!e.is_object())
                error(at, "must be an object");
            BuildProgram& p = programs[i];
            for (auto it = e.begin(); it != e.end(); ++it) {
                const std::string& key = it.key();
                if (key == "board") {
                    if (!it.value().is_string() || it.value().get<std::string>().size() > 4)
                        error(at + ".board", "must be a text of at most 4 characters");
                    std::string board = it.value().get<std::string>();
                    std::memcpy(p.entry.board, board.data(), board.size());
                } else if (key == "scramble") {
                    p.scramble = u32(it.value(), at + ".scramble");
                } else if (key != "file" && key != "size" && key != "seed" && key != "fill") {
                    size_t w = 0;
                    while (w < ZK_PROGRAM_OPTION_COUNT && key != ZK_PROGRAM_OPTIONS[w].name)
                        ++w;
                    if (w == ZK_PROGRAM_OPTION_COUNT)
                        error(at, "unknown key \"" + key + "\"");
                    p.entry.*ZK_PROGRAM_OPTIONS[w].word = u32(it.value(), at + "." + key);
                }
            }
            if (!e.contains("board"))
                error(at + ".board", "is missing");
            if (e.contains("file") || e.contains("size")) {
                const std::vector<uint8_t>& image = content(e, at);
                p.image = image.empty() ? nullptr : image.data();
                p.imageSize = (uint32_t)image.size();
            }
        }
        b->programs.headed = t.contains("headed") ? u32(t["headed"], "programs.headed") : 1;
        b->programs.count = (uint32_t)programs.size();
        b->programs.programs = programs.empty() ? nullptr : programs.data();
        if (programs.empty())
            notes.push_back("programs: no entries, so no program table is written");
    }
    if (root.contains("provinceLegacy"))
        parseProvinces(root["provinceLegacy"], "provinceLegacy", true, &b->provinceLegacy,
                       &legacyProvinces);
    if (root.contains("province"))
        parseProvinces(root["province"], "province", false, &b->province, &provinces);
}

} // namespace

// Exceptions stay inside: the parser unwinds with them, callers get a text.
struct PackageManifest {
    Manifest parsed;
};

PackageManifest* ZK_Manifest_parse(const char* text, size_t length, const char* baseDir,
                                   std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    why.clear();
    if (!text) {
        why = "no manifest text";
        return nullptr;
    }
    try {
        json root = json::parse(text, text + length, nullptr, false);
        if (root.is_discarded()) {
            why = "not valid JSON";
            return nullptr;
        }
        auto* m = new PackageManifest{Manifest(std::filesystem::path(baseDir ? baseDir : ""))};
        try {
            m->parsed.parse(root, &m->parsed.builder);
        } catch (...) {
            delete m;
            throw;
        }
        return m;
    } catch (const ManifestError& e) {
        why = e.text;
    } catch (const std::exception& e) {
        why = e.what();
    }
    return nullptr;
}

const PackageBuilder* ZK_Manifest_builder(const PackageManifest* manifest) {
    return manifest ? &manifest->parsed.builder : nullptr;
}

size_t ZK_Manifest_noteCount(const PackageManifest* manifest) {
    return manifest ? manifest->parsed.notes.size() : 0;
}

const char* ZK_Manifest_note(const PackageManifest* manifest, size_t index) {
    if (!manifest || index >= manifest->parsed.notes.size())
        return nullptr;
    return manifest->parsed.notes[index].c_str();
}

void ZK_Manifest_release(PackageManifest* manifest) {
    delete manifest;
}
