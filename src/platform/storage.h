// Block storage as sysfs and the mount table show it, and the two things the
// disk-form probe does to a disk: put a file in its root and eject it.
//
// Every function that reads the system takes a root directory ("/" for the
// real system): sysfs is read from ROOT/sys/block, the mount table from
// ROOT/proc/self/mountinfo, and files are written under ROOT + mount point, so
// that tests can point it at a fake tree. Errors are mapped to
// ZK_StorageResult here; nothing is kept in a global "last error".
#pragma once

#include <cstddef>
#include <cstdint>

enum ZK_StorageResult {
    ZK_STORAGE_OK = 0,
    ZK_STORAGE_ERR_IO = -1,          // a read, write or the eject itself failed
    ZK_STORAGE_ERR_ACCESS = -2,      // permission denied (eject needs udisks2 or root)
    ZK_STORAGE_ERR_NOT_FOUND = -3,   // no such disk, file or mount
    ZK_STORAGE_ERR_INVALID = -4,     // bad argument, a path that does not fit, a link
    ZK_STORAGE_ERR_UNSUPPORTED = -5, // no way to eject on this system
};

constexpr size_t ZK_STORAGE_NAME_CAPACITY = 64;
constexpr size_t ZK_STORAGE_TEXT_CAPACITY = 128;
constexpr size_t ZK_STORAGE_NODE_CAPACITY = 96;
constexpr size_t ZK_STORAGE_PATH_CAPACITY = 1024;
constexpr int ZK_STORAGE_MAX_DISKS = 64;

// One entry of /sys/block.
struct ZK_BlockDisk {
    char name[ZK_STORAGE_NAME_CAPACITY];    // "sdb"
    char devnode[ZK_STORAGE_NODE_CAPACITY]; // "/dev/sdb" (always the real /dev)
    int removable;                          // the disk's removable flag is 1
    int hasVendor;                          // device/vendor could be read
    char vendor[ZK_STORAGE_TEXT_CAPACITY];  // as stored, without the line feed sysfs adds
};

// Where a disk (or one of its partitions) is mounted.
struct ZK_MountEntry {
    char devnode[ZK_STORAGE_NODE_CAPACITY];    // "/dev/sdb1": the mounted block device
    char mountPoint[ZK_STORAGE_PATH_CAPACITY]; // as the mount table names it (not under root)
};

// One line of the mount table (/proc/self/mountinfo):
// "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE ...".
struct ZK_MountLine {
    int id;
    const char* devNumber;  // "MAJ:MIN"
    const char* root;       // the mounted directory of the file system, unescaped
    const char* mountPoint; // unescaped (\040 and the like decoded)
    const char* source;     // the field after the type, unescaped; "" when the line has none
};
// Splits `line` in place (a newline ends it); the texts point into `line`.
// 1 when the line has the five leading fields, else 0.
[[nodiscard]] int ZK_Storage_parseMountLine(char* line, ZK_MountLine* out);

// Lists ROOT/sys/block sorted by name (a fixed order). Fills up to `capacity`
// entries and returns how many were stored, or a negative ZK_StorageResult
// when the directory cannot be read. Entries whose name does not fit are skipped.
[[nodiscard]] int ZK_Storage_listDisks(const char* root, ZK_BlockDisk* out, int capacity);
// Finds the first mount-table entry of the disk or one of its partitions that
// mounts the root of the file system (bind mounts of a sub-folder are
// skipped). ZK_STORAGE_OK and *out, ZK_STORAGE_ERR_NOT_FOUND when it is not
// mounted, another code when sysfs or the table cannot be read.
[[nodiscard]] int ZK_Storage_findMount(const char* root, const char* diskName, ZK_MountEntry* out);
// Creates (or truncates) ROOT + mountPoint + "/" + name, refusing a link at
// that name (O_NOFOLLOW), mode 0644, writes `length` bytes and syncs them to
// the medium before returning. ZK_STORAGE_OK or the failure.
[[nodiscard]] int ZK_Storage_writeFile(const char* root, const char* mountPoint, const char* name,
                                       const void* data, size_t length);
// Ejects the disk: udisks2 (udisksctl unmount, then power-off) where it runs,
// else, for root, unmount and the eject ioctl. Waits for the helper at most
// 20 s. ZK_STORAGE_OK, or the failure of the last method tried.
[[nodiscard]] int ZK_Storage_eject(const ZK_BlockDisk* disk, const ZK_MountEntry* mount);
// A short text for a ZK_StorageResult.
const char* ZK_Storage_describe(int result);

// The operations the disk-form probe uses, as a table so that a test (or a
// dry run) can record the eject instead of doing it. Each returns a
// ZK_StorageResult (listDisks: a count), as the functions above.
struct ZK_StorageOps {
    int (*listDisks)(void* user, const char* root, ZK_BlockDisk* out, int capacity);
    int (*findMount)(void* user, const char* root, const char* diskName, ZK_MountEntry* out);
    int (*writeFile)(void* user, const char* root, const char* mountPoint, const char* name,
                     const void* data, size_t length);
    int (*eject)(void* user, const ZK_BlockDisk* disk, const ZK_MountEntry* mount);
    void* user;
};
// The table of the functions above (user none).
const ZK_StorageOps* ZK_Storage_systemOps();
