// Block storage through sysfs and the mount table; the marker write and the
// eject (udisks2 through its command-line client, or the eject ioctl).
#include "platform/storage.h"

#include "support/clock.h"
#include "support/log.h"
#include "support/mem.h"
#include "support/str.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kMaxNames = 256;     // /sys/block entries considered
constexpr int kMaxPartitions = 64; // partitions of one disk
constexpr size_t kLineCapacity = 8192;
constexpr int kHelperTimeoutMs = 20000;

int mapErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ZK_STORAGE_ERR_ACCESS;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return ZK_STORAGE_ERR_NOT_FOUND;
    case ELOOP:
    case EINVAL:
    case ENAMETOOLONG:
        return ZK_STORAGE_ERR_INVALID;
    default:
        return ZK_STORAGE_ERR_IO;
    }
}

// ROOT (without a trailing '/') followed by the absolute `rel`. 1, or 0 when
// it does not fit.
int joinRoot(const char* root, const char* rel, char* out, size_t capacity) {
    size_t rootLength = root ? std::strlen(root) : 0;
    while (rootLength > 0 && root[rootLength - 1] == '/')
        --rootLength;
    int n = std::snprintf(out, capacity, "%.*s%s", (int)rootLength, root ? root : "", rel);
    if (n < 0 || (size_t)n >= capacity) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

// Reads at most capacity - 1 bytes of a small file and terminates them.
// Returns the byte count, or -1 when it cannot be read.
ssize_t readSmallFile(const char* path, char* out, size_t capacity) {
    out[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done + 1 < capacity) {
        ssize_t n = read(fd, out + done, capacity - 1 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            out[0] = '\0';
            return -1;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    close(fd);
    out[done] = '\0';
    return (ssize_t)done;
}

// "MAJ:MIN" of a sysfs "dev" file, trimmed. 1 / 0.
int readDevNumber(const char* path, char* out, size_t capacity) {
    if (readSmallFile(path, out, capacity) <= 0)
        return 0;
    ZK_Str_trimLeft(out);
    ZK_Str_trimRight(out);
    return out[0] != '\0';
}

int compareNames(const void* a, const void* b) {
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

// Decodes the octal escapes (\040 and the like) of a mount-table field in place.
void unescapeField(char* text) {
    char* out = text;
    for (const char* in = text; *in;) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out++ = (char)(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

struct DevNumber {
    char number[32];                     // "8:17"
    char name[ZK_STORAGE_NAME_CAPACITY]; // "sdb1"
};

// The disk's own device number and its partitions'. Returns the count, or a
// negative ZK_StorageResult.
int collectDevNumbers(const char* root, const char* diskName, DevNumber* out, int capacity) {
    char rel[ZK_STORAGE_PATH_CAPACITY], path[ZK_STORAGE_PATH_CAPACITY];
    std::snprintf(rel, sizeof rel, "/sys/block/%s", diskName);
    if (!joinRoot(root, rel, path, sizeof path))
        return ZK_STORAGE_ERR_INVALID;
    char file[ZK_STORAGE_PATH_CAPACITY + sizeof(dirent::d_name) + 16];
    int n = 0;
    std::snprintf(file, sizeof file, "%s/dev", path);
    if (n < capacity && readDevNumber(file, out[n].number, sizeof out[n].number)) {
        ZK_Str_copy(sizeof out[n].name, diskName, out[n].name, 0);
        ++n;
    }
    DIR* dir = opendir(path);
    if (!dir)
        return mapErrno(errno);
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || n >= capacity ||
            std::strlen(entry->d_name) >= ZK_STORAGE_NAME_CAPACITY)
            continue;
        struct stat st;
        std::snprintf(file, sizeof file, "%s/%s/partition", path, entry->d_name);
        if (stat(file, &st) != 0)
            continue;
        std::snprintf(file, sizeof file, "%s/%s/dev", path, entry->d_name);
        if (!readDevNumber(file, out[n].number, sizeof out[n].number))
            continue;
        ZK_Str_copy(sizeof out[n].name, entry->d_name, out[n].name, 0);
        ++n;
    }
    closedir(dir);
    return n;
}

// Runs a helper program with no input and no output and waits for it at
// most `timeoutMs`. Returns its exit status, -2 when it is not installed,
// -1 when it could not run, was killed or timed out.
int runHelper(const char* const argv[], int timeoutMs) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return rc == ENOENT ? -2 : -1;
    int status = 0;
    for (int waited = 0;; waited += 20) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return -1;
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ZK_LOG("%s did not finish within %d ms", argv[0], timeoutMs);
            return -1;
        }
        ZK_Clock_sleepMs(20);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The eject as root without udisks2: unmount, then the eject ioctl.
int ejectByIoctl(const ZK_BlockDisk* disk, const ZK_MountEntry* mount) {
    if (geteuid() != 0)
        return ZK_STORAGE_ERR_ACCESS;
    if (mount && mount->mountPoint[0] && umount2(mount->mountPoint, 0) != 0 && errno != EINVAL) {
        ZK_LOG("cannot unmount %s: %s", mount->mountPoint, std::strerror(errno));
        return mapErrno(errno);
    }
    int fd = open(disk->devnode, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return mapErrno(errno);
    int rc = ioctl(fd, CDROMEJECT, 0) == 0 ? ZK_STORAGE_OK : mapErrno(errno);
    close(fd);
    return rc;
}

int opListDisks(void*, const char* root, ZK_BlockDisk* out, int capacity) {
    return ZK_Storage_listDisks(root, out, capacity);
}
int opFindMount(void*, const char* root, const char* diskName, ZK_MountEntry* out) {
    return ZK_Storage_findMount(root, diskName, out);
}
int opWriteFile(void*, const char* root, const char* mountPoint, const char* name, const void* data,
                size_t length) {
    return ZK_Storage_writeFile(root, mountPoint, name, data, length);
}
int opEject(void*, const ZK_BlockDisk* disk, const ZK_MountEntry* mount) {
    return ZK_Storage_eject(disk, mount);
}

const ZK_StorageOps g_systemOps = {
    .listDisks = opListDisks,
    .findMount = opFindMount,
    .writeFile = opWriteFile,
    .eject = opEject,
    .user = nullptr,
};

} // namespace

int ZK_Storage_listDisks(const char* root, ZK_BlockDisk* out, int capacity) {
    if (!out || capacity < 0)
        return ZK_STORAGE_ERR_INVALID;
    char path[ZK_STORAGE_PATH_CAPACITY];
    if (!joinRoot(root, "/sys/block", path, sizeof path))
        return ZK_STORAGE_ERR_INVALID;
    DIR* dir = opendir(path);
    if (!dir)
        return mapErrno(errno);
    auto* names = static_cast<char(*)[ZK_STORAGE_NAME_CAPACITY]>(
        ZK_Mem_calloc(kMaxNames, ZK_STORAGE_NAME_CAPACITY));
    if (!names) {
        closedir(dir);
        return ZK_STORAGE_ERR_IO;
    }
    int count = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::strlen(entry->d_name) >= ZK_STORAGE_NAME_CAPACITY)
            continue;
        if (count == kMaxNames)
            break;
        ZK_Str_copy(ZK_STORAGE_NAME_CAPACITY, entry->d_name, names[count++], 0);
    }
    closedir(dir);
    std::qsort(names, (size_t)count, ZK_STORAGE_NAME_CAPACITY, compareNames);

    int stored = 0;
    char file[ZK_STORAGE_PATH_CAPACITY + 2 * ZK_STORAGE_NAME_CAPACITY];
    char text[16];
    for (int i = 0; i < count && stored < capacity; ++i) {
        ZK_BlockDisk& disk = out[stored];
        std::memset(&disk, 0, sizeof disk);
        ZK_Str_copy(sizeof disk.name, names[i], disk.name, 0);
        std::snprintf(disk.devnode, sizeof disk.devnode, "/dev/%s", names[i]);
        std::snprintf(file, sizeof file, "%s/%s/removable", path, names[i]);
        if (readSmallFile(file, text, sizeof text) > 0) {
            ZK_Str_trimLeft(text);
            ZK_Str_trimRight(text);
            disk.removable = std::strcmp(text, "1") == 0;
        }
        std::snprintf(file, sizeof file, "%s/%s/device/vendor", path, names[i]);
        ssize_t n = readSmallFile(file, disk.vendor, sizeof disk.vendor);
        if (n >= 0) {
            disk.hasVendor = 1;
            // sysfs ends each attribute with one line feed; it is not part of the text.
            size_t length = std::strlen(disk.vendor);
            if (length > 0 && disk.vendor[length - 1] == '\n')
                disk.vendor[length - 1] = '\0';
        }
        ++stored;
    }
    ZK_Mem_free(names);
    return stored;
}

int ZK_Storage_parseMountLine(char* line, ZK_MountLine* out) {
    if (!line || !out)
        return 0;
    std::memset(out, 0, sizeof *out);
    // Fields end at a blank; the line at its newline.
    char* fields[5];
    char* source = nullptr;
    int n = 0, afterSeparator = -1;
    char* p = line;
    while (*p && *p != '\n') {
        while (*p == ' ')
            ++p;
        if (!*p || *p == '\n')
            break;
        char* field = p;
        while (*p && *p != ' ' && *p != '\n')
            ++p;
        bool last = *p != ' ';
        *p = '\0';
        if (!last)
            ++p;
        if (n < 5)
            fields[n] = field;
        else if (afterSeparator < 0 && std::strcmp(field, "-") == 0)
            afterSeparator = 0;
        else if (afterSeparator >= 0 && ++afterSeparator == 2)
            source = field;
        ++n;
        if (last)
            break;
    }
    if (n < 5)
        return 0;
    out->id = std::atoi(fields[0]);
    out->devNumber = fields[2];
    unescapeField(fields[3]);
    out->root = fields[3];
    unescapeField(fields[4]);
    out->mountPoint = fields[4];
    if (source)
        unescapeField(source);
    out->source = source ? source : "";
    return 1;
}

int ZK_Storage_findMount(const char* root, const char* diskName, ZK_MountEntry* out) {
    if (!diskName || !*diskName || !out || std::strchr(diskName, '/'))
        return ZK_STORAGE_ERR_INVALID;
    std::memset(out, 0, sizeof *out);
    DevNumber numbers[kMaxPartitions + 1];
    int count = collectDevNumbers(root, diskName, numbers, kMaxPartitions + 1);
    if (count < 0)
        return count;
    if (count == 0)
        return ZK_STORAGE_ERR_NOT_FOUND;

    char path[ZK_STORAGE_PATH_CAPACITY];
    if (!joinRoot(root, "/proc/self/mountinfo", path, sizeof path))
        return ZK_STORAGE_ERR_INVALID;
    FILE* table = std::fopen(path, "re");
    if (!table)
        return mapErrno(errno);
    char* line = static_cast<char*>(ZK_Mem_alloc(kLineCapacity));
    if (!line) {
        std::fclose(table);
        return ZK_STORAGE_ERR_IO;
    }
    int rc = ZK_STORAGE_ERR_NOT_FOUND;
    while (rc == ZK_STORAGE_ERR_NOT_FOUND && std::fgets(line, (int)kLineCapacity, table)) {
        size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] != '\n' && !std::feof(table)) {
            // Longer than any mount of a disk would be: skip the rest of it.
            int c;
            while ((c = std::fgetc(table)) != EOF && c != '\n') {
            }
            continue;
        }
        ZK_MountLine mount;
        if (!ZK_Storage_parseMountLine(line, &mount) || std::strcmp(mount.root, "/") != 0)
            continue;
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(mount.devNumber, numbers[i].number) != 0)
                continue;
            if (std::strlen(mount.mountPoint) >= sizeof out->mountPoint)
                break;
            ZK_Str_copy(sizeof out->mountPoint, mount.mountPoint, out->mountPoint, 0);
            std::snprintf(out->devnode, sizeof out->devnode, "/dev/%s", numbers[i].name);
            rc = ZK_STORAGE_OK;
            break;
        }
    }
    if (rc == ZK_STORAGE_ERR_NOT_FOUND && std::ferror(table))
        rc = ZK_STORAGE_ERR_IO;
    ZK_Mem_free(line);
    std::fclose(table);
    return rc;
}

int ZK_Storage_writeFile(const char* root, const char* mountPoint, const char* name,
                         const void* data, size_t length) {
    if (!mountPoint || mountPoint[0] != '/' || !name || !*name || std::strchr(name, '/') ||
        (!data && length))
        return ZK_STORAGE_ERR_INVALID;
    char rel[ZK_STORAGE_PATH_CAPACITY];
    size_t mountLength = std::strlen(mountPoint);
    while (mountLength > 1 && mountPoint[mountLength - 1] == '/')
        --mountLength;
    int n = std::snprintf(rel, sizeof rel, "%.*s/%s", (int)mountLength, mountPoint, name);
    if (mountLength == 1)
        n = std::snprintf(rel, sizeof rel, "/%s", name);
    char path[ZK_STORAGE_PATH_CAPACITY];
    if (n < 0 || (size_t)n >= sizeof rel || !joinRoot(root, rel, path, sizeof path))
        return ZK_STORAGE_ERR_INVALID;
    int fd = open(path, O_CREAT | O_TRUNC | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return mapErrno(errno);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    int rc = ZK_STORAGE_OK;
    while (done < length) {
        ssize_t w = write(fd, bytes + done, length - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            rc = w < 0 ? mapErrno(errno) : ZK_STORAGE_ERR_IO;
            break;
        }
        done += (size_t)w;
    }
    // The eject follows at once: the bytes must be on the medium first.
    if (rc == ZK_STORAGE_OK && fsync(fd) != 0 && errno != EINVAL)
        rc = mapErrno(errno);
    if (close(fd) != 0 && rc == ZK_STORAGE_OK)
        rc = ZK_STORAGE_ERR_IO;
    return rc;
}

int ZK_Storage_eject(const ZK_BlockDisk* disk, const ZK_MountEntry* mount) {
    if (!disk || !disk->devnode[0])
        return ZK_STORAGE_ERR_INVALID;
    // udisks2 lets the desktop user eject without a password; its client
    // speaks D-Bus for us.
    int unmounted = -2;
    if (mount && mount->devnode[0]) {
        const char* argv[] = {"udisksctl", "unmount",      "--no-user-interaction",
                              "-b",        mount->devnode, nullptr};
        unmounted = runHelper(argv, kHelperTimeoutMs);
    }
    if (unmounted != -2) {
        const char* argv[] = {"udisksctl", "power-off",   "--no-user-interaction",
                              "-b",        disk->devnode, nullptr};
        int off = runHelper(argv, kHelperTimeoutMs);
        if (off == 0)
            return ZK_STORAGE_OK;
        ZK_LOG("udisksctl could not eject %s (unmount %d, power-off %d)", disk->devnode, unmounted,
               off);
    }
    int rc = ejectByIoctl(disk, unmounted == 0 ? nullptr : mount);
    if (rc == ZK_STORAGE_ERR_ACCESS && unmounted == -2)
        return ZK_STORAGE_ERR_UNSUPPORTED; // neither udisks2 nor root
    return rc;
}

const char* ZK_Storage_describe(int result) {
    switch (result) {
    case ZK_STORAGE_OK:
        return "ok";
    case ZK_STORAGE_ERR_IO:
        return "input/output error";
    case ZK_STORAGE_ERR_ACCESS:
        return "permission denied";
    case ZK_STORAGE_ERR_NOT_FOUND:
        return "not found";
    case ZK_STORAGE_ERR_INVALID:
        return "invalid path";
    case ZK_STORAGE_ERR_UNSUPPORTED:
        return "no way to eject (install udisks2 or run as root)";
    default:
        return "unknown error";
    }
}

const ZK_StorageOps* ZK_Storage_systemOps() {
    return &g_systemOps;
}
