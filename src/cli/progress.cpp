#include "progress.h"

#include "app/core/update.h"

#include <cstdio>
#include <unistd.h>

TerminalProgress::TerminalProgress() : tty_(isatty(STDERR_FILENO) != 0) {}

void TerminalProgress::event(const ProgressEvent& e) {
    if (e.kind == ZK_PROGRESS_STARTED)
        return;
    if (e.kind == ZK_PROGRESS_TEXT) {
        message(e.step);
        return;
    }
    std::string text = ZK_Update_progressText(e);
    // In a log: a line whenever a new region starts and every 10 %.
    uint32_t step = e.value / 1000;
    bool newRegion = e.region != lastRegion_;
    lastRegion_ = e.region;
    if (tty_) {
        if (open_ && e.nowTick - lastDraw_ < 100 && e.value < 10000)
            return;
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        open_ = true;
        lastDraw_ = e.nowTick;
    } else if (step != lastStep_ || newRegion) {
        if (!e.region.empty())
            text += "   (" + e.region + ")";
        std::fprintf(stderr, "%s\n", text.c_str());
        lastStep_ = step;
    }
    std::fflush(stderr);
}

void TerminalProgress::message(const std::string& text) {
    endLine();
    if (!text.empty())
        std::fprintf(stderr, "%s\n", text.c_str());
}

void TerminalProgress::endLine() {
    if (open_)
        std::fputc('\n', stderr);
    open_ = false;
}

int KorvanaCli_onProgress(void* user, DeviceLink* link, int kind, uint32_t value,
                          uint32_t startTick) {
    if (auto* p = static_cast<TerminalProgress*>(user))
        p->event(ZK_Progress_event(link, kind, value, startTick));
    return 0;
}
