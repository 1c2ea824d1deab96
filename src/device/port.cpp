#include "device/port.h"

#include "support/mem.h"

#include <new>

HidPort* ZK_Port_open(const char* path, int* hidResult) {
    if (hidResult)
        *hidResult = ZK_HID_ERR_INVALID;
    if (!path)
        return nullptr;
    void* block = ZK_Mem_calloc(1, sizeof(HidPort));
    if (!block) {
        if (hidResult)
            *hidResult = ZK_HID_ERR_NO_MEMORY;
        return nullptr;
    }
    HidPort* port = new (block) HidPort{};
    int rc = ZK_Hid_open(path, &port->device);
    if (hidResult)
        *hidResult = rc;
    if (rc != ZK_HID_OK) {
        port->~HidPort();
        ZK_Mem_free(block);
        return nullptr;
    }
    port->refCount.store(1, std::memory_order_relaxed);
    return port;
}

void ZK_Port_retain(HidPort* port) {
    if (port)
        port->refCount.fetch_add(1, std::memory_order_relaxed);
}

void ZK_Port_releaseRef(HidPort* port) {
    if (!port)
        return;
    // acq_rel: the last holder must see every other holder's use of the device.
    if (port->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    ZK_Hid_close(&port->device);
    port->~HidPort();
    ZK_Mem_free(port);
}

void ZK_Port_close(HidPort* port) {
    if (!port)
        return;
    port->closed.store(1, std::memory_order_release);
    ZK_Port_releaseRef(port);
}

int ZK_Port_causeOf(int hidResult) {
    switch (hidResult) {
    case ZK_HID_OK:
        return ZK_CAUSE_NONE;
    case ZK_HID_ERR_TIMEOUT:
        return ZK_CAUSE_TIMEOUT;
    case ZK_HID_ERR_NO_DEVICE:
        return ZK_CAUSE_REMOVED;
    default:
        return ZK_CAUSE_IO;
    }
}

int ZK_Port_readReport(HidPort* port, uint8_t* report, size_t* count, int* hidResult) {
    if (count)
        *count = 0;
    if (hidResult)
        *hidResult = ZK_HID_ERR_NO_DEVICE;
    if (!port || !report || port->closed.load(std::memory_order_acquire))
        return 0;
    size_t moved = 0;
    int rc = ZK_Hid_read(&port->device, report, ZK_REPORT_SIZE, ZK_PORT_READ_TIMEOUT_MS, &moved);
    if (hidResult)
        *hidResult = rc;
    if (rc != ZK_HID_OK)
        return 0;
    if (moved > ZK_REPORT_SIZE) // a backend never reports more than it was given room for
        moved = ZK_REPORT_SIZE;
    if (count)
        *count = moved;
    return 1;
}

int ZK_Port_drain(HidPort* port, uint8_t* scratch, int limit) {
    int dropped = 0;
    while (port && scratch && dropped < limit && !port->closed.load(std::memory_order_acquire)) {
        size_t moved = 0;
        if (ZK_Hid_read(&port->device, scratch, ZK_REPORT_SIZE, 0, &moved) != ZK_HID_OK ||
            moved == 0)
            break;
        ++dropped;
    }
    return dropped;
}

int ZK_Port_writeReport(HidPort* port, const uint8_t* report, size_t* count, int* hidResult) {
    if (count)
        *count = 0;
    if (hidResult)
        *hidResult = ZK_HID_ERR_NO_DEVICE;
    if (!port || !report || port->closed.load(std::memory_order_acquire))
        return 0;
    size_t moved = 0;
    int rc = ZK_Hid_write(&port->device, report, ZK_REPORT_SIZE, &moved);
    if (hidResult)
        *hidResult = rc;
    if (rc != ZK_HID_OK)
        return 0;
    if (count)
        *count = moved;
    return 1;
}

CommandChannel* ZK_Channel_create() {
    void* block = ZK_Mem_calloc(1, sizeof(CommandChannel));
    if (!block)
        return nullptr;
    return new (block) CommandChannel{};
}

void ZK_Channel_destroy(CommandChannel* channel) {
    if (!channel)
        return;
    ZK_Channel_detachPort(channel);
    channel->~CommandChannel();
    ZK_Mem_free(channel);
}

void ZK_Channel_attachPort(CommandChannel* channel, HidPort* port) {
    if (!channel) {
        ZK_Port_close(port);
        return;
    }
    HidPort* old;
    {
        std::lock_guard<std::mutex> guard(channel->portLock);
        old = channel->port.exchange(port, std::memory_order_acq_rel);
    }
    // Outside the lock: the old port may still be in use by a running command,
    // which keeps it alive through its own reference.
    ZK_Port_close(old);
}

void ZK_Channel_detachPort(CommandChannel* channel) {
    ZK_Channel_attachPort(channel, nullptr);
}

HidPort* ZK_Channel_acquirePort(CommandChannel* channel) {
    if (!channel)
        return nullptr;
    std::lock_guard<std::mutex> guard(channel->portLock);
    HidPort* port = channel->port.load(std::memory_order_acquire);
    if (port)
        ZK_Port_retain(port);
    return port;
}

bool ZK_Channel_hasPort(const CommandChannel* channel) {
    if (!channel)
        return false;
    // A presence test only: the pointer is never dereferenced here. A port is
    // closed only after it has been swapped out, so present means usable.
    return channel->port.load(std::memory_order_acquire) != nullptr;
}
