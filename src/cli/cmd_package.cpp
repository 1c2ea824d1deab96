// Package commands: build (from a manifest), sample, info.
#include "cli.h"

#include "app/core/packagecheck.h"
#include "package/builder.h"
#include "package/keys.h"
#include "package/manifest.h"
#include "package/package.h"
#include "package/sample.h"
#include "support/text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

using nlohmann::json;

namespace {

// One-line failure on stderr; returns the usage/unreadable-file exit code.
int fail(const std::string& text) {
    std::fprintf(stderr, "korvana-cli: %s\n", text.c_str());
    return CLI_EXIT_USAGE;
}

std::string displayText(const void* bytes, size_t capacity) {
    return ZK_Text_display(bytes, capacity);
}

std::string dateText(const RegionDate& date) {
    char text[32];
    ZK_Date_format(&date, text, sizeof text);
    return text[0] ? text : "none";
}

// ---------------------------------------------------------------- info

struct InfoArgs {
    std::string file;
    bool json = false;
};

std::vector<std::string> problems(const UpdatePackage* p) {
    return ZK_Package_unreadableRegions(p);
}

json provincesJson(const ProvinceRegion& r, bool legacy) {
    if (!r.size)
        return nullptr;
    json entries = json::array();
    for (uint32_t i = 0; i < r.provinceCount; ++i) {
        const ProvinceEntry& e = r.provinces[i];
        entries.push_back({{"name", displayText(e.name, sizeof e.name)},
                           {"recordCount", e.recordCount},
                           {"recordSize", r.recordSize},
                           {"bytes", (uint64_t)e.recordCount * r.recordSize}});
    }
    json out = {{"size", r.size},
                {"date", r.dateWord ? json(dateText(r.date)) : json(nullptr)},
                {"dateWord", r.dateWord},
                {"recordSize", r.recordSize},
                {"provinceCount", r.provinceCount},
                {"entries", entries}};
    if (!legacy)
        out["headerWord"] = r.headerWord;
    return out;
}

json infoJson(const UpdatePackage* p, const std::string& file, int64_t fileSize,
              const std::vector<std::string>& damaged) {
    json regions = json::array();
    for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot) {
        const PackageRegion* r = ZK_Package_region(p, slot);
        if (!r || !r->size)
            continue;
        char text[32];
        ZK_Date_format(&r->date, text, sizeof text);
        bool dated = text[0] != 0;
        regions.push_back({{"slot", slot},
                           {"name", ZK_Package_slotInfo(slot)->name},
                           {"size", r->size},
                           {"date", dated ? json(dateText(r->date)) : json(nullptr)},
                           {"scrambled", r->scrambled}});
    }
    json programs = json::array();
    for (uint32_t i = 0; i < p->programCount; ++i) {
        const ProgramEntry& e = p->programs[i];
        json entry = {{"board", displayText(e.board, 4)},
                      {"size", e.size},
                      {"offset", e.offset},
                      {"loaded", e.loaded}};
        for (const ProgramOption& option : ZK_PROGRAM_OPTIONS)
            entry[option.name] = e.*option.word;
        programs.push_back(entry);
    }
    return {
        {"file", file},
        {"fileSize", fileSize},
        {"trailer", p->trailerForm},
        {"formatVersion", p->formatVersion},
        {"magic", p->magic},
        {"ciphered", p->magic == ZK_MAGIC_CIPHER},
        {"title", displayText(p->title, sizeof p->title)},
        {"clientTag", displayText(p->title, 4)},
        {"regions", regions},
        {"programTable", p->slots[ZK_SLOT_PROGRAMS].size
                             ? json({{"headed", p->programTableHeaded != 0}, {"entries", programs}})
                             : json(nullptr)},
        {"provinceLegacy", provincesJson(p->provinceLegacy, true)},
        {"province", provincesJson(p->province, false)},
        {"problems", damaged}};
}

void printProvinces(const char* name, const ProvinceRegion& r, bool legacy) {
    if (!r.size)
        return;
    std::printf("Provinces (%s): %u entries, record size %u, date %s", name, r.provinceCount,
                r.recordSize, r.dateWord ? dateText(r.date).c_str() : "none");
    if (!legacy)
        std::printf(", header word 0x%X", r.headerWord);
    std::printf("\n");
    for (uint32_t i = 0; i < r.provinceCount; ++i) {
        const ProvinceEntry& e = r.provinces[i];
        std::string shown = displayText(e.name, sizeof e.name);
        // Pad by display columns: CJK characters take two.
        size_t columns = 0;
        for (size_t k = 0; k < shown.size();) {
            unsigned char c = (unsigned char)shown[k];
            size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            columns += len >= 3 ? 2 : 1;
            k += len;
        }
        std::printf("  %s%*s records %8u  record size %3u  bytes %10llu\n", shown.c_str(),
                    columns < 12 ? (int)(12 - columns) : 0, "", e.recordCount, r.recordSize,
                    (unsigned long long)e.recordCount * r.recordSize);
    }
}

void printInfo(const UpdatePackage* p, const std::string& file, int64_t fileSize) {
    std::printf("Package: %s (%lld bytes)\n", file.c_str(), (long long)fileSize);
    std::printf("Trailer: %u bytes, format version %u, magic 0x%08X%s\n", p->trailerForm,
                p->formatVersion, p->magic,
                p->magic == ZK_MAGIC_CIPHER  ? " (ciphered)"
                : p->magic == ZK_MAGIC_PLAIN ? " (plain)"
                                             : "");
    std::printf("Title: %s\n", displayText(p->title, sizeof p->title).c_str());
    std::printf("Client tag: %s\n", displayText(p->title, 4).c_str());
    std::printf("Regions:\n");
    std::printf("  %4s %-12s %-21s %-19s %s\n", "slot", "region", "size", "date", "scrambled");
    for (int slot = 1; slot <= ZK_SLOT_COUNT; ++slot) {
        const PackageRegion* r = ZK_Package_region(p, slot);
        if (!r || !r->size)
            continue;
        char hex[16];
        std::snprintf(hex, sizeof hex, "(0x%X)", r->size);
        std::printf("  %4d %-12s %10u %-10s %-19s %u\n", slot, ZK_Package_slotInfo(slot)->name,
                    r->size, hex, dateText(r->date).c_str(), r->scrambled);
    }
    if (p->slots[ZK_SLOT_PROGRAMS].size) {
        std::printf("Program table (%s, %u entries):\n",
                    p->programTableHeaded ? "headed" : "legacy", p->programCount);
        for (uint32_t i = 0; i < p->programCount; ++i) {
            const ProgramEntry& e = p->programs[i];
            std::printf("  %s  size %u (0x%X)%s\n   ", displayText(e.board, 4).c_str(), e.size,
                        e.size, e.loaded ? "" : "  not loaded");
            for (const ProgramOption& option : ZK_PROGRAM_OPTIONS) {
                bool size = std::strstr(option.name, "Size") != nullptr;
                std::printf(size ? " %s=0x%X" : " %s=%u", option.name, e.*option.word);
            }
            std::printf("\n");
        }
    }
    printProvinces("provinceLegacy", p->provinceLegacy, true);
    printProvinces("province", p->province, false);
}

int runInfo(const InfoArgs& args) {
    if (int bad = KorvanaCli_checkInputFile(args.file))
        return bad;
    struct stat st;
    if (stat(args.file.c_str(), &st) != 0)
        return fail("cannot open " + args.file + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(args.file + ": not a regular file");
    UpdatePackage* p = ZK_Package_open(args.file.c_str());
    if (!p) {
        FILE* f = std::fopen(args.file.c_str(), "rb");
        if (!f)
            return fail("cannot open " + args.file + ": " + std::strerror(errno));
        std::fclose(f);
        return fail(args.file + ": not an update package (no valid trailer)");
    }
    std::vector<std::string> damaged = problems(p);
    if (args.json)
        std::printf("%s\n", infoJson(p, args.file, (int64_t)st.st_size, damaged)
                                .dump(2, ' ', false, json::error_handler_t::replace)
                                .c_str());
    else
        printInfo(p, args.file, (int64_t)st.st_size);
    std::fflush(stdout);
    ZK_Package_close(p);
    if (!damaged.empty())
        return fail(
            args.file + ": damaged package: " + damaged[0] +
            (damaged.size() > 1 ? " (and " + std::to_string(damaged.size() - 1) + " more)" : ""));
    return CLI_EXIT_OK;
}

// ---------------------------------------------------------------- build

struct BuildArgs {
    std::string manifest;
    std::string out;
};

int runBuild(const BuildArgs& args) {
    if (int bad = KorvanaCli_checkInputFile(args.manifest))
        return bad;
    if (int bad = KorvanaCli_checkOutputFile(args.out))
        return bad;
    std::ifstream in(args.manifest, std::ios::binary);
    if (!in)
        return fail("cannot open " + args.manifest + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    PackageManifest* manifest =
        ZK_Manifest_parse(text.data(), text.size(),
                          std::filesystem::path(args.manifest).parent_path().c_str(), &error);
    if (!manifest)
        return fail(args.manifest + ": " + error);
    struct Releaser {
        PackageManifest* m;
        ~Releaser() { ZK_Manifest_release(m); }
    } releaser{manifest};
    for (size_t i = 0; i < ZK_Manifest_noteCount(manifest); ++i)
        std::fprintf(stderr, "korvana-cli: note: %s\n", ZK_Manifest_note(manifest, i));
    PackageLayout layout;
    errno = 0;
    if (!ZK_Builder_write(ZK_Manifest_builder(manifest), args.out.c_str(), &layout))
        return fail("cannot write " + args.out +
                    (errno ? ": " + std::string(std::strerror(errno)) : ""));
    std::printf("wrote %s (%llu bytes)\n", args.out.c_str(), (unsigned long long)layout.fileSize);
    return CLI_EXIT_OK;
}

int runSample(const std::string& out) {
    if (int bad = KorvanaCli_checkOutputFile(out))
        return bad;
    errno = 0;
    if (!ZK_Sample_build(out.c_str()))
        return fail("cannot write " + out +
                    (errno ? ": " + std::string(std::strerror(errno)) : ""));
    struct stat st;
    long long size = stat(out.c_str(), &st) == 0 ? (long long)st.st_size : 0;
    std::printf("wrote %s (%lld bytes)\n", out.c_str(), size);
    return CLI_EXIT_OK;
}

} // namespace

void KorvanaCli_addPackageCommands(CLI::App& app, CliContext& ctx) {
    CLI::App* package = app.add_subcommand("package", "Inspect and make update packages (.dzk)");
    package->require_subcommand(1);

    auto info = std::make_shared<InfoArgs>();
    CLI::App* infoCmd = package->add_subcommand(
        "info", "Show a package's trailer, regions, program table and provinces");
    infoCmd->add_option("FILE", info->file, "Package file")->required();
    infoCmd->add_flag("--json", info->json, "Print JSON instead of text");
    infoCmd->callback([info, &ctx] { ctx.exitCode = runInfo(*info); });

    auto build = std::make_shared<BuildArgs>();
    CLI::App* buildCmd = package->add_subcommand(
        "build", "Build a package from a JSON manifest (see docs/manifest.md)");
    buildCmd->add_option("MANIFEST", build->manifest, "Manifest file")->required();
    buildCmd->add_option("OUT", build->out, "Package file to write")->required();
    buildCmd->callback([build, &ctx] { ctx.exitCode = runBuild(*build); });

    auto sampleOut = std::make_shared<std::string>();
    CLI::App* sampleCmd = package->add_subcommand(
        "sample", "Write the built-in sample package for client TAVO (about 8 MiB)");
    sampleCmd->add_option("OUT", *sampleOut, "Package file to write")->required();
    sampleCmd->callback([sampleOut, &ctx] { ctx.exitCode = runSample(*sampleOut); });
}
