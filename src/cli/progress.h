// The terminal's one progress printer, fed with the application core's
// progress events by every command that moves data.
#pragma once

#include "app/core/progress.h"

#include <cstdint>
#include <string>

class TerminalProgress {
  public:
    TerminalProgress();
    // A progress report: on a terminal the line is redrawn in place (at most
    // every 100 ms, and always at 100 %); in a log a line every 10 % and
    // whenever another region starts.
    void event(const ProgressEvent& event);
    // A text of its own line (a step or failure text).
    void message(const std::string& text);
    // Ends a line being redrawn, so that what follows starts on its own.
    void endLine();
    bool terminal() const { return tty_; }

  private:
    bool tty_ = false;
    bool open_ = false;
    uint32_t lastDraw_ = 0;
    uint32_t lastStep_ = 11;
    std::string lastRegion_;
};

// The link's progress callback for a TerminalProgress (user).
int KorvanaCli_onProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                          uint32_t startTick);
