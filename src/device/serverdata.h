// The server-data copy: the device's server-data region (main setting's
// serverAddr/serverSize) read in 256-byte pieces into a file, with the
// progress texts the window shows. Shared by the window and korvana-cli.
#pragma once

#include "device/link.h"

#include <cstdint>

enum ZK_ServerDataResult {
    ZK_SERVERDATA_OK = 0,
    ZK_SERVERDATA_NO_DEVICE = 1, // "   No hardware connected!"
    ZK_SERVERDATA_NO_MEMORY = 2, // size 0 or no memory: "out memory！"
    ZK_SERVERDATA_READ_FAIL = 3, // a piece failed: "read fail！"
    ZK_SERVERDATA_OPEN_FAIL = 4, // the file could not be created or written: "open file fail！"
};

// Copies the region to `path`. Sets progress mode 2 and step text "Load ",
// starts the total at serverSize, reports 100 percent once read, and on a
// failure sets the failure text with ZK_Progress_message. The file is created
// only after the whole region was read. A region that runs past the device's
// flash is refused as a failed read without asking the device. Returns a
// ZK_ServerDataResult.
[[nodiscard]] int ZK_ServerData_read(DeviceLink* link, const char* path);
// The step text of a result ("" for OK and NO_DEVICE).
const char* ZK_ServerData_failureText(int result);
