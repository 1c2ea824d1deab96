// Window messages between threads: posted messages, and sent messages that
// block the sending thread until the window's thread has handled them and
// return the handler's result.
//
// Other threads reach the window only through this: they never touch a
// control. Once closing has begun every pending and later sent message
// returns at once with the value its sender gave for that case, so that a
// worker blocked in a send can never hold up the window's destruction.
#pragma once

#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

// Message numbers and their payloads.
enum KorvanaMessage : uint32_t {
    WM_SETTEXT_MSG = 0x000C, // progress bar text: lParam = const char*
    WM_DEVICECHANGE_MSG =
        0x0219,              // lParam = ZK_DeviceNotification* (posted copy, freed by the window)
    PBM_SETPOS_MSG = 0x0402, // wParam = position
    PBM_SETRANGE32_MSG = 0x0406, // wParam = lower, lParam = upper
    MSG_SELECT_PROVINCES =
        0x07E8, // wParam = UpdatePackage*, lParam = bytes for GPS; 0 chosen, 1 cancelled
    MSG_DOWNLOAD_FINISHED = 0x8051, // wParam = end code 0..6, lParam = error or HTTP status
    MSG_DOWNLOAD_STARTED = 0x8052,  // wParam = Content-Length, lParam = resume offset
    MSG_DOWNLOAD_PERCENT = 0x8053,  // wParam = whole percent
    MSG_DOWNLOAD_PROGRESS = 0x8054, // wParam = KB/s x 100000, lParam = bytes received
    MSG_ENABLE_BUTTONS = 0x8060,    // wParam = 1 enable, 0 disable (update, settings, open)
    MSG_SHOW_RESULT = 0x8061,       // wParam = 1 success, lParam = const char* text
    MSG_WORKER_ENDED = 0x8062,      // posted by the worker as its last act
    MSG_DELAYED_SEARCH = 0x8063,    // posted by the timer service
    MSG_WRITE_PROGRESS = 0x8064,    // wParam = position, lParam = const char* text
};

class WindowMessages : public QObject {
    Q_OBJECT

  public:
    using Handler = std::function<intptr_t(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

    // Messages are handled on the thread that owns this object.
    explicit WindowMessages(Handler handler, QObject* parent = nullptr);
    ~WindowMessages() override;

    // Any thread; returns at once. A `payload` travels with the message
    // (lParam points to it while the handler runs) and is freed with it, also
    // when the message is never handled.
    void post(uint32_t message, uintptr_t wParam, intptr_t lParam,
              std::shared_ptr<const void> payload = nullptr);
    // Any thread; returns the handler's result. On the owner's thread the
    // handler runs at once. Returns `whenClosing` without waiting once
    // closing has begun (also for a send already waiting).
    intptr_t send(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t whenClosing);
    // The owner's thread, when the window starts closing.
    void beginClosing();
    bool closing() const;

  protected:
    bool event(QEvent* event) override;

  private:
    struct Pending {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        intptr_t result = 0;
        intptr_t whenClosing = 0;
    };
    class MessageEvent;

    Handler handler_;
    mutable std::mutex lock_;
    bool closing_ = false;
    std::list<std::shared_ptr<Pending>> pending_;
};
