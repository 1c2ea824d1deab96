#include "platform/uhid.h"

#include "platform/hid.h"
#include "support/mem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

struct ZK_UhidDevice {
    int fd;
    uhid_event in; // several KiB each: kept off the stack
    uhid_event out;
};

namespace {

constexpr uint16_t kBusUsb = 0x03;

int fromErrno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
        return ZK_HID_ERR_ACCESS;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return ZK_HID_ERR_NO_DEVICE;
    default:
        return ZK_HID_ERR_IO;
    }
}

int writeEvent(ZK_UhidDevice* d, const uhid_event& event) {
    for (;;) {
        ssize_t n = write(d->fd, &event, sizeof event);
        if (n < 0 && errno == EINTR)
            continue;
        return n == (ssize_t)sizeof event ? ZK_HID_OK : ZK_HID_ERR_IO;
    }
}

} // namespace

int ZK_Uhid_create(const ZK_UhidConfig* config, ZK_UhidDevice** device) {
    if (!config || !device || !config->descriptor ||
        config->descriptorSize > sizeof(uhid_event::u.create2.rd_data))
        return ZK_HID_ERR_INVALID;
    *device = nullptr;
    auto* d = static_cast<ZK_UhidDevice*>(ZK_Mem_calloc(1, sizeof(ZK_UhidDevice)));
    if (!d)
        return ZK_HID_ERR_NO_MEMORY;
    d->fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (d->fd < 0) {
        int rc = fromErrno(errno);
        ZK_Mem_free(d);
        return rc;
    }
    uhid_event& ev = d->out;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    const char* name = config->name ? config->name : "uhid";
    std::snprintf((char*)ev.u.create2.name, sizeof ev.u.create2.name, "%s", name);
    std::snprintf((char*)ev.u.create2.phys, sizeof ev.u.create2.phys, "korvana-uhid/%d",
                  (int)getpid());
    std::snprintf((char*)ev.u.create2.uniq, sizeof ev.u.create2.uniq, "%s", name);
    ev.u.create2.rd_size = (uint16_t)config->descriptorSize;
    std::memcpy(ev.u.create2.rd_data, config->descriptor, config->descriptorSize);
    ev.u.create2.bus = kBusUsb;
    ev.u.create2.vendor = config->vendorId;
    ev.u.create2.product = config->productId;
    ev.u.create2.version = 0x0100;
    if (writeEvent(d, ev) != ZK_HID_OK) {
        int rc = fromErrno(errno);
        close(d->fd);
        ZK_Mem_free(d);
        return rc;
    }
    *device = d;
    return ZK_HID_OK;
}

int ZK_Uhid_poll(ZK_UhidDevice* d, int timeoutMs, ZK_UhidEvent* event) {
    if (!d || !event)
        return ZK_HID_ERR_INVALID;
    *event = ZK_UhidEvent{ZK_UHID_NONE, "", nullptr, 0};
    struct pollfd pfd = {.fd = d->fd, .events = POLLIN, .revents = 0};
    int pr = poll(&pfd, 1, timeoutMs);
    if (pr < 0)
        return errno == EINTR ? ZK_HID_OK : ZK_HID_ERR_IO;
    if (pr == 0)
        return ZK_HID_OK;
    ssize_t n = read(d->fd, &d->in, sizeof d->in);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return ZK_HID_OK;
    if (n <= 0)
        return ZK_HID_ERR_IO;
    const uhid_event& in = d->in;
    switch (in.type) {
    case UHID_OUTPUT:
        event->kind = ZK_UHID_OUTPUT;
        event->name = "output";
        event->data = in.u.output.data;
        event->size = std::min<size_t>(in.u.output.size, sizeof in.u.output.data);
        return ZK_HID_OK;
    case UHID_GET_REPORT:
    case UHID_SET_REPORT: {
        // No feature reports: refuse at once rather than let the kernel time out.
        uhid_event& ev = d->out;
        std::memset(&ev, 0, sizeof ev);
        if (in.type == UHID_GET_REPORT) {
            ev.type = UHID_GET_REPORT_REPLY;
            ev.u.get_report_reply.id = in.u.get_report.id;
            ev.u.get_report_reply.err = EIO;
        } else {
            ev.type = UHID_SET_REPORT_REPLY;
            ev.u.set_report_reply.id = in.u.set_report.id;
            ev.u.set_report_reply.err = EIO;
        }
        event->kind = ZK_UHID_OTHER;
        event->name = "feature";
        return writeEvent(d, ev);
    }
    case UHID_START:
    case UHID_STOP:
    case UHID_OPEN:
    case UHID_CLOSE:
        event->kind = ZK_UHID_STATE;
        event->name = in.type == UHID_START  ? "start"
                      : in.type == UHID_STOP ? "stop"
                      : in.type == UHID_OPEN ? "open"
                                             : "close";
        return ZK_HID_OK;
    default:
        event->kind = ZK_UHID_OTHER;
        event->name = "event";
        return ZK_HID_OK;
    }
}

int ZK_Uhid_sendInput(ZK_UhidDevice* d, const uint8_t* payload, size_t size) {
    if (!d || (size && !payload))
        return ZK_HID_ERR_INVALID;
    uhid_event& ev = d->out;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    ev.u.input2.size = (uint16_t)std::min(size, sizeof ev.u.input2.data);
    if (ev.u.input2.size)
        std::memcpy(ev.u.input2.data, payload, ev.u.input2.size);
    return writeEvent(d, ev);
}

void ZK_Uhid_destroy(ZK_UhidDevice* d) {
    if (!d)
        return;
    uhid_event& ev = d->out;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    (void)writeEvent(d, ev);
    close(d->fd);
    ZK_Mem_free(d);
}
