#include "app/messages.h"

#include <QCoreApplication>
#include <QThread>

namespace {
const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

class WindowMessages::MessageEvent : public QEvent {
  public:
    MessageEvent(uint32_t m, uintptr_t w, intptr_t l, std::shared_ptr<Pending> p,
                 std::shared_ptr<const void> data = nullptr)
        : QEvent(kMessageEvent), message(m), wParam(w), lParam(l), pending(std::move(p)),
          payload(std::move(data)) {}
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    std::shared_ptr<Pending> pending;    // none for a posted message
    std::shared_ptr<const void> payload; // freed with the event
};

WindowMessages::WindowMessages(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

WindowMessages::~WindowMessages() {
    beginClosing();
}

void WindowMessages::post(uint32_t message, uintptr_t wParam, intptr_t lParam,
                          std::shared_ptr<const void> payload) {
    if (payload)
        lParam = reinterpret_cast<intptr_t>(payload.get());
    QCoreApplication::postEvent(
        this, new MessageEvent(message, wParam, lParam, nullptr, std::move(payload)));
}

intptr_t WindowMessages::send(uint32_t message, uintptr_t wParam, intptr_t lParam,
                              intptr_t whenClosing) {
    if (QThread::currentThread() == thread())
        return closing() ? whenClosing : handler_(message, wParam, lParam);
    auto pending = std::make_shared<Pending>();
    pending->whenClosing = whenClosing;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (closing_)
            return whenClosing;
        pending_.push_back(pending);
    }
    QCoreApplication::postEvent(this, new MessageEvent(message, wParam, lParam, pending));
    std::unique_lock<std::mutex> wait(pending->lock);
    pending->done.wait(wait, [&] { return pending->finished; });
    return pending->result;
}

void WindowMessages::beginClosing() {
    std::list<std::shared_ptr<Pending>> waiting;
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
        waiting.swap(pending_);
    }
    for (auto& p : waiting) {
        std::lock_guard<std::mutex> guard(p->lock);
        if (!p->finished) {
            p->finished = true;
            p->result = p->whenClosing;
        }
        p->done.notify_all();
    }
}

bool WindowMessages::closing() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closing_;
}

bool WindowMessages::event(QEvent* e) {
    if (e->type() != kMessageEvent)
        return QObject::event(e);
    auto* m = static_cast<MessageEvent*>(e);
    if (!m->pending) {
        handler_(m->message, m->wParam, m->lParam);
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(m->pending->lock);
        // Answered already by the closing: its payload may be gone.
        if (m->pending->finished)
            return true;
    }
    intptr_t result = handler_(m->message, m->wParam, m->lParam);
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_.remove(m->pending);
    }
    std::lock_guard<std::mutex> guard(m->pending->lock);
    if (!m->pending->finished) {
        m->pending->finished = true;
        m->pending->result = result;
    }
    m->pending->done.notify_all();
    return true;
}
