// The update workflow: one package written to the connected device, from the
// client check through the province selection to the final message.
//
// Qt-free. It talks to whoever runs it (the main window, the terminal) only
// through UpdateHost, and to the device only through the machine layer and
// the link the host lends it. Run it on a worker thread; every host call is
// made on that thread and the host forwards it to its own thread as it needs.
#pragma once

#include "app/core/progress.h"
#include "device/link.h"
#include "device/machine.h"
#include "package/package.h"
#include "package/province.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The final texts.
inline constexpr char ZK_TEXT_OPEN_FAILED[] = "Open update file failed!";
inline constexpr char ZK_TEXT_UPDATE_FAILED[] = "Update Failed!";
inline constexpr char ZK_TEXT_GPS_TOO_LARGE[] = "Error!The gps data is too large!";
inline constexpr char ZK_TEXT_NO_SOUND[] = "Error!No sound found!";
inline constexpr char ZK_TEXT_NO_OLED[] = "Error!No OLED data found!";
inline constexpr char ZK_TEXT_SUCCESS[] = "Update Successfully!";
inline constexpr char ZK_TEXT_UPDATING[] = "updating";
inline constexpr char ZK_TEXT_CAPTION[] = "Update Tool";

// What the window provides to the workflow.
class UpdateHost {
  public:
    virtual ~UpdateHost() = default;
    // The package chosen or dropped; empty: fetch one.
    virtual std::string localFile() = 0;
    // Downloads the newest package when no local file is chosen. Returns true
    // with *path set, or false with *error set. The default knows no server.
    virtual bool fetchPackage(std::string* path, std::string* error) {
        (void)path;
        *error = ZK_TEXT_OPEN_FAILED;
        return false;
    }
    // Deletes what fetchPackage wrote in this run.
    virtual void discardDownloadFiles() {}
    // Opens the package at `path` for the run, which owns and closes it. A
    // host that already opened it to check it first hands that one over.
    virtual UpdatePackage* openPackage(const std::string& path) {
        return ZK_Package_open(path.c_str());
    }
    virtual DeviceLink* link() = 0;
    // Set while the window is being destroyed: no failure box then.
    virtual bool closing() { return false; }
    virtual void setButtonsEnabled(bool enabled) = 0;
    virtual void setProgressText(const char* text) = 0;
    virtual void setProgressRange(uint32_t maximum) = 0;
    virtual void setProgressPosition(uint32_t position) = 0;
    // Every progress report of the write, with bytes and region. The default
    // does what the window's write-progress handler does: kind 0 sets the
    // range and position 0, every other kind the position and the text
    // "%s%s %.02f%%   %s %d %s".
    virtual void progressEvent(const ProgressEvent& event);
    // Asks the user for provinces whose data fits `capacity` bytes. Returns 0
    // when provinces were confirmed, with *chosen and `flags` (34 entries in
    // ProvinceTable order) set; anything else means cancelled, both unchanged.
    virtual int selectProvinces(UpdatePackage* package, uint32_t capacity, int32_t* flags,
                                int* chosen) = 0;
    // The one final message: success with the caption, or a failure text.
    virtual void showResult(bool success, const std::string& text) = 0;
};

struct UpdateOutcome {
    bool success;
    std::string text;  // shown text: the failure text with its "  %d" suffix, or the success text
    int resultCode;    // last check or write result; 0 when none
    std::string cause; // what the lower layers know of a failure, when they know it; else empty
};

// Runs one update for `host` and returns what it ended with (the host has
// already been shown it). The package is always closed; the device stays attached.
UpdateOutcome ZK_Update_run(UpdateHost& host);

// The link's progress callback for a host (user = the UpdateHost): kind 0
// sets the range to the value, every other kind the position and the text.
int ZK_Update_onWriteProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                              uint32_t startTick);
// "%s%s %.02f%%   %s %d %s": step text, "Updated", value / 100, "Time",
// whole seconds since startTick, "Second".
void ZK_Update_progressText(const DeviceLink* link, uint32_t value, uint32_t startTick,
                            uint32_t nowTick, char* out, size_t capacity);
std::string ZK_Update_progressText(const ProgressEvent& event);

// True when the package holds only its one program image (the program write
// alone updates it).
bool ZK_Update_isProgramOnly(const UpdatePackage* package);
// The options every run starts from.
void ZK_Update_initialOptions(UpdateOptions* options);
// The extension of a path: after its last '.', with any further '.' skipped;
// the whole path when it has none.
std::string ZK_Update_extension(const std::string& path);
