// update: write a package to the device, with the terminal as the workflow's host.
#include "cli.h"
#include "progress.h"
#include "session.h"

#include "app/core/client.h"
#include "app/core/packagecheck.h"
#include "app/core/provinces.h"
#include "app/core/update.h"
#include "package/merge.h"
#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct UpdateArgs {
    std::string package;
    std::string provinces;
    bool haveProvinces = false;
    std::vector<int> picked; // --provinces as read before the run
    bool yes = false;
    bool plan = false;
};

// The terminal as the workflow's host: progress on stderr, the provinces from
// the command line or a prompt, the final text.
class TerminalHost : public UpdateHost {
  public:
    TerminalHost(const UpdateArgs& args, DeviceLink*& link) : args_(args), link_(link) {
        interactive_ = progress_.terminal() && isatty(STDIN_FILENO) != 0;
    }
    std::string localFile() override { return args_.package; }
    // The package checked before the device was opened: not read a second time.
    void handOver(UpdatePackage* checked) { checked_ = checked; }
    ~TerminalHost() override { ZK_Package_close(checked_); }
    UpdatePackage* openPackage(const std::string& path) override {
        if (!checked_ || path != args_.package)
            return UpdateHost::openPackage(path);
        UpdatePackage* p = checked_;
        checked_ = nullptr;
        return p;
    }
    DeviceLink* link() override { return link_; }
    void setButtonsEnabled(bool) override {}
    void setProgressRange(uint32_t) override {}
    void setProgressPosition(uint32_t) override {}
    // Only the workflow's own texts come here ("updating", or empty before
    // the final text); the write's progress comes as events.
    void setProgressText(const char* text) override { progress_.message(text ? text : ""); }
    void progressEvent(const ProgressEvent& event) override { progress_.event(event); }
    int selectProvinces(UpdatePackage* package, uint32_t capacity, int32_t* flags,
                        int* chosen) override {
        progress_.endLine();
        std::fprintf(stderr,
                     "The GPS data does not fit the device: choose provinces (at most %uK).\n",
                     capacity / 1024);
        if (args_.haveProvinces)
            return accept(package, capacity, args_.picked, flags, chosen) ? 0 : 1;
        if (!interactive_) {
            std::fprintf(stderr, "Give them with --provinces (indexes or names).\n");
            return 1;
        }
        listProvinces(package);
        for (;;) {
            std::fprintf(stderr, "Provinces to write (indexes or names, comma-separated; "
                                 "empty line cancels): ");
            std::string line;
            if (!std::getline(std::cin, line) ||
                line.find_first_not_of(" \t\r") == std::string::npos)
                return 1;
            std::vector<int> picked;
            std::string bad;
            if (!ZK_Provinces_parseList(line, &picked, &bad)) {
                std::fprintf(stderr, "Unknown province: %s\n", bad.c_str());
                continue;
            }
            if (accept(package, capacity, picked, flags, chosen))
                return 0;
        }
    }
    void showResult(bool success, const std::string& text) override {
        progress_.endLine();
        std::fprintf(success ? stdout : stderr, "%s\n", text.c_str());
        std::fflush(stdout);
    }

  private:
    void listProvinces(UpdatePackage* package) {
        for (int i = 0; i < ZK_PROVINCE_COUNT; ++i)
            std::fprintf(stderr, "  %2d  %s (%s)  %uK\n", i, ZK_Provinces_name(i).c_str(),
                         ZK_Provinces_englishName(i), ZK_Provinces_kilobytes(package, i));
    }
    // The province dialog's rules, as the application core keeps them.
    bool accept(UpdatePackage* package, uint32_t capacity, const std::vector<int>& picked,
                int32_t* flags, int* chosen) {
        ProvinceSelection selection(package, capacity);
        if (selection.setList(picked) == ZK_PROVINCES_TOO_LARGE) {
            uint64_t total = 0;
            for (int i : picked)
                total += ZK_Provinces_bytes(package, i);
            std::fprintf(stderr, "%s (%lluK > %uK)\n", ZK_TEXT_PROVINCE_TOO_LARGE,
                         (unsigned long long)(total / 1024), capacity / 1024);
            return false;
        }
        if (selection.confirm(flags) == ZK_PROVINCES_NONE) {
            std::fprintf(stderr, "%s\n", ZK_TEXT_PROVINCE_AT_LEAST_ONE);
            return false;
        }
        *chosen = 1;
        std::fprintf(stderr, "Chosen: %lluK of %uK\n",
                     (unsigned long long)(selection.totalBytes() / 1024), capacity / 1024);
        return true;
    }

    const UpdateArgs& args_;
    DeviceLink*& link_;
    TerminalProgress progress_;
    bool interactive_ = false;
    UpdatePackage* checked_ = nullptr;
};

// Opens the package and checks that an update can use it (readable, a
// package, this build's client) before any device is touched. CLI_EXIT_OK
// with *out set, else the workflow's text and a cause on stderr and exit 2.
// Regions that cannot be read are named; the update takes them as absent.
int openUsablePackage(const std::string& path, UpdatePackage** out, size_t* unreadable = nullptr) {
    *out = nullptr;
    if (int bad = KorvanaCli_checkInputFile(path))
        return bad;
    UpdatePackage* package = ZK_Package_open(path.c_str());
    if (!package) {
        std::fprintf(stderr, "%s\ncause: %s is not an update package, or it is damaged\n",
                     ZK_TEXT_OPEN_FAILED, path.c_str());
        return CLI_EXIT_USAGE;
    }
    if (!ZK_Client_titleMatches(package->title, sizeof package->title)) {
        std::fprintf(stderr, "%s\ncause: the package is for client '%s', this tool for '%s'\n",
                     ZK_TEXT_OPEN_FAILED, ZK_Text_display(package->title, 4).c_str(), CLIENT_TAG);
        ZK_Package_close(package);
        return CLI_EXIT_USAGE;
    }
    std::vector<std::string> problems = ZK_Package_unreadableRegions(package);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "warning: %s: %s; it is left out\n", path.c_str(), problem.c_str());
    if (unreadable)
        *unreadable = problems.size();
    *out = package;
    return CLI_EXIT_OK;
}

void printRegion(const char* name, uint32_t address, uint32_t size) {
    if (size)
        std::printf("  %-12s 0x%07X  %9u bytes\n", name, address, size);
}

// --plan: what a run would write where, with nothing sent to the flash.
int runPlan(const CliContext& ctx, const UpdateArgs& args) {
    UpdatePackage* package = nullptr;
    if (int bad = openUsablePackage(args.package, &package))
        return bad;
    struct Closer {
        UpdatePackage* p;
        ~Closer() { ZK_Package_close(p); }
    } closer{package};
    CliSession s;
    int rc = KorvanaCli_openSession(ctx, s);
    if (rc != CLI_EXIT_OK)
        return rc;
    if (KorvanaCli_reportIncomplete(s))
        return CLI_EXIT_FAILED;
    const DeviceInfo& info = s.link->info;
    char board[8];
    ZK_Link_boardText(s.link, board, sizeof board);
    std::printf("Device: board %s, %s layout, flash %u bytes\n", *board ? board : "(none)",
                info.layout502 ? "502" : "legacy", info.flashSize);
    if (ZK_Update_isProgramOnly(package)) {
        const ProgramEntry* e =
            ZK_Package_findProgram(package, ZK_Board_word(info.mainSetting.board));
        std::printf("Plan: program only\n");
        if (e)
            printRegion("program", ZK_PROGRAM_ADDR, e->size);
        return e ? CLI_EXIT_OK : CLI_EXIT_FAILED;
    }
    UpdateOptions options;
    ZK_Update_initialOptions(&options);
    MachinePlan plan;
    int r = ZK_Machine_planParamAndMainSetting(s.link, &options, package, &plan);
    bool provincesNeeded = false;
    if (r == ZK_CHECK_TOO_LARGE && args.haveProvinces) {
        provincesNeeded = true;
        int32_t flags[ZK_PROVINCE_COUNT] = {};
        for (int i : args.picked)
            flags[i] = 1;
        uint32_t capacity = options.gpsAvailable;
        if (!ZK_Package_mergeProvinces(package, flags)) {
            std::fprintf(stderr, "%s\n", ZK_TEXT_OPEN_FAILED);
            return CLI_EXIT_FAILED;
        }
        std::printf("Provinces chosen: %u bytes of %u available for GPS data\n",
                    package->provinceMerged.size, capacity);
        options.provincesSelected = 1;
        r = ZK_Machine_planParamAndMainSetting(s.link, &options, package, &plan);
    }
    const MainSetting& ms = plan.setting;
    switch (r) {
    case ZK_CHECK_OK:
    case ZK_CHECK_TOO_LARGE:
        break;
    case ZK_CHECK_NO_VOICE:
        std::printf("Plan: %s\n", ZK_TEXT_NO_SOUND);
        return CLI_EXIT_FAILED;
    case ZK_CHECK_NO_OLED:
        std::printf("Plan: %s\n", ZK_TEXT_NO_OLED);
        return CLI_EXIT_FAILED;
    case ZK_CHECK_NO_PROGRAM:
        std::printf("Plan: no program in the package for board %s\n", board);
        return CLI_EXIT_FAILED;
    default:
        std::printf("Plan: %s  %d\n", ZK_TEXT_OPEN_FAILED, r);
        return CLI_EXIT_FAILED;
    }
    struct Row {
        const char* name;
        uint32_t address, size;
    };
    std::vector<Row> rows = {{"voice", options.voice.address, options.voice.size},
                             {"radar mute", options.radarMute.address, options.radarMute.size},
                             {"update tool", options.updateTool.address, options.updateTool.size},
                             {"oled", options.oled.address, options.oled.size},
                             {"gps", options.gps.address, options.gps.size},
                             {"program", ZK_PROGRAM_ADDR, options.program.size},
                             {"boot", ZK_BOOT_ADDR, options.boot.size}};
    if (plan.fixedLayout) {
        std::printf("Plan: fixed legacy layout (the main setting is not written)\n");
    } else {
        std::printf("Plan: %s layout, data area from 0x%X\n", options.layout502 ? "502" : "legacy",
                    ms.reservedAddr);
        rows.push_back({"server data", ms.serverAddr, ms.serverSize});
        rows.push_back({"track data", ms.trackAddr, ms.trackSize});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.address < b.address; });
    for (const Row& row : rows)
        printRegion(row.name, row.address, row.size);
    if (r == ZK_CHECK_TOO_LARGE) {
        std::printf("Does not fit: the regions end at 0x%X, beyond the flash (0x%X).\n",
                    options.gpsNeeded, info.flashSize);
        if (package->province.provinceCount > 0)
            std::printf("Provinces would have to be chosen: GPS data may take %u bytes "
                        "(%uK).\n",
                        options.gpsAvailable, options.gpsAvailable / 1024);
        else
            std::printf("The package has no provincial data: %s\n", ZK_TEXT_GPS_TOO_LARGE);
        return CLI_EXIT_FAILED;
    }
    if (!plan.fixedLayout)
        std::printf("Room left: %u bytes after 0x%X\n", info.flashSize - ms.usedEnd, ms.usedEnd);
    std::printf("Provinces: %s\n", provincesNeeded ? "chosen as given" : "not needed");
    return CLI_EXIT_OK;
}

int runUpdate(const CliContext& ctx, UpdateArgs& args) {
    if (args.haveProvinces) {
        std::string bad;
        if (!ZK_Provinces_parseList(args.provinces, &args.picked, &bad)) {
            std::fprintf(stderr, "--provinces: unknown province '%s'\n", bad.c_str());
            return CLI_EXIT_USAGE;
        }
        if (args.picked.empty()) {
            std::fprintf(stderr, "--provinces: no province given\n");
            return CLI_EXIT_USAGE;
        }
    }
    if (args.plan)
        return runPlan(ctx, args);

    // The package is checked before the device is touched or a question asked.
    UpdatePackage* checked = nullptr;
    size_t unreadable = 0;
    if (int bad = openUsablePackage(args.package, &checked, &unreadable))
        return bad;

    CliSession s;
    TerminalHost host(args, s.link);
    host.handOver(checked);
    int rc = KorvanaCli_openSession(ctx, s, ZK_Update_onWriteProgress, &host);
    if (rc != CLI_EXIT_OK)
        return rc;
    std::fprintf(stderr, "Do not unplug the device while it is being written.\n");
    if (!args.yes && isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        if (unreadable)
            std::fprintf(stderr,
                         "%zu region(s) of the package cannot be read and will not be "
                         "written (see the warnings above).\n",
                         unreadable);
        std::fprintf(stderr, "Write %s to the device? [y/N] ", args.package.c_str());
        std::string answer;
        if (!std::getline(std::cin, answer) ||
            (answer != "y" && answer != "Y" && answer != "yes")) {
            std::fprintf(stderr, "Nothing was written.\n");
            return CLI_EXIT_FAILED;
        }
    }
    // The run owns the link until it ends (nothing else may attach meanwhile).
    if (!ZK_Link_claim(s.link)) {
        std::fprintf(stderr, "The device is busy with another operation.\n");
        return CLI_EXIT_FAILED;
    }
    UpdateOutcome outcome = ZK_Update_run(host);
    ZK_Link_unclaim(s.link);
    if (!outcome.success && !outcome.cause.empty())
        std::fprintf(stderr, "cause: %s\n", outcome.cause.c_str());
    return outcome.success ? CLI_EXIT_OK : CLI_EXIT_FAILED;
}

} // namespace

void KorvanaCli_addUpdateCommands(CLI::App& app, CliContext& ctx) {
    auto args = std::make_shared<UpdateArgs>();
    auto* cmd = app.add_subcommand("update", "Write an update package (.dzk) to the device");
    cmd->add_option("PACKAGE", args->package, "The update package")->required();
    auto* provinces =
        cmd->add_option("--provinces", args->provinces,
                        "Provinces to write when the GPS data does not fit: indexes 0-33 or names, "
                        "comma-separated (without it a terminal asks)");
    cmd->add_flag("--yes,-y", args->yes, "Answer yes to questions");
    cmd->add_flag("--plan", args->plan,
                  "Show what would be written where, without writing anything");
    cmd->callback([&ctx, args, provinces] {
        args->haveProvinces = provinces->count() > 0;
        ctx.exitCode = runUpdate(ctx, *args);
    });
}
