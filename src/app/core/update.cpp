#include "app/core/update.h"

#include "app/core/client.h"
#include "device/cmd.h"
#include "package/merge.h"
#include "support/clock.h"
#include "support/mem.h"
#include "support/str.h"

#include <cstdio>
#include <cstring>

namespace {

bool regionEmpty(const PackageRegion& r) {
    return r.size == 0;
}

// The outcome of the data path: empty text is success.
struct Run {
    std::string errorText;
    int resultCode = 0;
    std::string cause;
};

uint32_t mergedRecordCount(const UpdatePackage* package) {
    uint32_t count = 0;
    const PackageRegion& merged = package->provinceMerged;
    if (!merged.data || !ZK_Bytes_readU32LE(merged.data, merged.size, 12, &count))
        return 0;
    return count;
}

void dataPath(UpdateHost& host, UpdatePackage* package, Run& run) {
    DeviceLink* link = host.link();
    UpdateOptions options;
    ZK_Update_initialOptions(&options);
    int r = ZK_Machine_checkParamAndMainSetting(link, &options, package);
    run.resultCode = r;
    if (r == ZK_CHECK_TOO_LARGE) {
        if (!package->province.provinces || package->province.provinceCount == 0) {
            run.errorText = ZK_TEXT_GPS_TOO_LARGE;
            run.cause = "the package's data does not fit the device and it has no provinces to "
                        "choose from";
            return;
        }
        int32_t flags[ZK_PROVINCE_COUNT] = {};
        int chosen = 0;
        if (host.selectProvinces(package, options.gpsAvailable, flags, &chosen) != 0 || !chosen) {
            run.errorText = ZK_TEXT_GPS_TOO_LARGE;
            run.cause = "no provinces were chosen";
            return;
        }
        if (!ZK_Package_mergeProvinces(package, flags)) {
            run.errorText = ZK_TEXT_OPEN_FAILED;
            return;
        }
        // Only provinces the package lacks: an empty GPS region would replace
        // the device's camera data with nothing.
        if (mergedRecordCount(package) == 0) {
            run.errorText = ZK_TEXT_GPS_TOO_LARGE;
            run.cause = "none of the chosen provinces has data in this package";
            return;
        }
        options.provincesSelected = (uint32_t)chosen;
        r = ZK_Machine_checkParamAndMainSetting(link, &options, package);
        run.resultCode = r;
        if (r == ZK_CHECK_TOO_LARGE) {
            run.errorText = ZK_TEXT_GPS_TOO_LARGE;
            return;
        }
    }
    switch (r) {
    case ZK_CHECK_NO_VOICE:
        run.errorText = ZK_TEXT_NO_SOUND;
        return;
    case ZK_CHECK_NO_GPS:
    case ZK_CHECK_WRITE_FAILED:
        run.errorText = ZK_TEXT_OPEN_FAILED;
        return;
    case ZK_CHECK_NO_OLED:
        // The check stopped before it placed the regions: nothing may be written.
        run.errorText = ZK_TEXT_NO_OLED;
        return;
    default:
        break;
    }
    if (options.voice.size == 0) {
        run.errorText = ZK_TEXT_UPDATE_FAILED;
        return;
    }
    options.writeClientId =
        (link->info.layout502 != options.layout502 ||
         LookupClient(link->info.clientBlock, sizeof link->info.clientBlock) == -1)
            ? 1
            : 0;
    int w = ZK_Machine_write(&options, link, package);
    if (w != 0) {
        run.resultCode = w;
        run.errorText = ZK_TEXT_UPDATE_FAILED;
    }
}

} // namespace

void ZK_Update_initialOptions(UpdateOptions* options) {
    std::memset(options, 0, sizeof *options);
    options->writeBoot = options->writeProgram = options->writeVoice = 1;
    options->writeRadarMute = options->writeGps = options->writeUpdateTool = 1;
    // One client keeps its users' settings across updates.
    options->resetSetting = std::strcmp(CLIENT_TAG, "TQM") == 0 ? 0 : 1;
}

bool ZK_Update_isProgramOnly(const UpdatePackage* p) {
    if (!p || p->programCount != 1)
        return false;
    return regionEmpty(p->boot) && regionEmpty(p->radarMute) && regionEmpty(p->gps) &&
           regionEmpty(p->voice) && regionEmpty(p->voiceAlt) && regionEmpty(p->updateTool) &&
           p->provinceLegacy.size == 0 && p->provinceLegacy.provinceCount == 0 &&
           regionEmpty(p->voice2) && regionEmpty(p->voice2Alt) && regionEmpty(p->voice3) &&
           regionEmpty(p->voice3Alt) && regionEmpty(p->gps2);
}

UpdateOutcome ZK_Update_run(UpdateHost& host) {
    Run run;
    host.setButtonsEnabled(false);
    if (DeviceLink* link = host.link()) {
        link->progress.region = nullptr;
        if (link->channel)
            link->channel->lastCause = ZK_CAUSE_NONE;
    }

    std::string packagePath = host.localFile();
    bool haveFile = !packagePath.empty();
    if (!haveFile)
        haveFile = host.fetchPackage(&packagePath, &run.errorText);

    if (haveFile) {
        UpdatePackage* package = host.openPackage(packagePath);
        if (!package) {
            run.errorText = ZK_TEXT_OPEN_FAILED;
            run.cause = packagePath + " cannot be read, or it is not an update package";
        } else if (!ZK_Client_titleMatches(package->title, sizeof package->title)) {
            run.errorText = ZK_TEXT_OPEN_FAILED;
            run.cause = "the package is for another client";
        } else if (!ZK_Link_infoComplete(host.link())) {
            // What a failed read left (a zero version or flash size, an unread
            // setting tail or client block) must never decide or feed a write.
            run.errorText = ZK_TEXT_UPDATE_FAILED;
            run.resultCode = host.link() ? host.link()->info.readResult : ZK_CMD_ERR_NOT_SENT;
            char why[160];
            ZK_Link_infoFailureText(host.link(), why, sizeof why);
            run.cause = why;
        } else {
            host.setProgressText(ZK_TEXT_UPDATING);
            if (ZK_Update_isProgramOnly(package)) {
                if (!ZK_Machine_writeProgram(host.link(), package, 1))
                    run.errorText = ZK_TEXT_UPDATE_FAILED;
            } else {
                dataPath(host, package, run);
            }
        }
        ZK_Package_close(package);
    }

    host.discardDownloadFiles();
    // A device failure the lower layers could explain: say which and where.
    if (!run.errorText.empty() && run.cause.empty())
        run.cause = ZK_Progress_causeText(host.link());
    UpdateOutcome outcome;
    outcome.resultCode = run.resultCode;
    outcome.cause = run.cause;
    if (!run.errorText.empty()) {
        outcome.success = false;
        outcome.text = run.errorText;
        if (run.resultCode != 0)
            outcome.text += "  " + std::to_string(run.resultCode);
        if (!host.closing()) {
            host.setProgressText("");
            host.setButtonsEnabled(true);
            host.showResult(false, outcome.text);
        }
        return outcome;
    }
    outcome.success = true;
    outcome.text = ZK_TEXT_SUCCESS;
    host.showResult(true, outcome.text);
    if (ZK_Link_isAttached(host.link()))
        host.setButtonsEnabled(true);
    return outcome;
}

std::string ZK_Update_progressText(const ProgressEvent& e) {
    char text[512];
    ZK_Str_format(text, sizeof text, "%s%s %.02f%%   %s %d %s", e.step.c_str(), "Updated",
                  e.value / 100.0, "Time", (int)((e.nowTick - e.startTick) / 1000), "Second");
    return text;
}

void ZK_Update_progressText(const DeviceLink* link, uint32_t value, uint32_t startTick,
                            uint32_t nowTick, char* out, size_t capacity) {
    ProgressEvent e{};
    e.value = value;
    e.step = link ? link->stepText : "";
    e.startTick = startTick;
    e.nowTick = nowTick;
    ZK_Str_copy(capacity, ZK_Update_progressText(e).c_str(), out, 0);
}

void UpdateHost::progressEvent(const ProgressEvent& e) {
    if (e.kind == ZK_PROGRESS_STARTED) {
        setProgressRange(e.value);
        setProgressPosition(0);
        return;
    }
    setProgressPosition(e.value);
    setProgressText(ZK_Update_progressText(e).c_str());
}

int ZK_Update_onWriteProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                              uint32_t startTick) {
    UpdateHost* host = static_cast<UpdateHost*>(user);
    if (host)
        host->progressEvent(ZK_Progress_event(link, kind, value, startTick));
    return 0;
}

std::string ZK_Update_extension(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return path;
    return path.substr(dot + 1);
}
