// Diagnostic log: one formatted line per message, for developers only.
//
// Every message of this system is logged at level INFO (3). The sink, its user
// value and the minimum-level filter are process-wide settings: change them
// before any other thread logs, as they are read without a lock.
#pragma once

enum ZK_LogLevel {
    ZK_LOG_VERBOSE = 1,
    ZK_LOG_DEBUG = 2,
    ZK_LOG_INFO = 3,
    ZK_LOG_WARN = 4,
    ZK_LOG_ERROR = 5,
    ZK_LOG_CRITICAL = 6,
};

// Receives each finished message. `file` is already reduced to its name.
typedef void (*ZK_LogSink)(void* user, const char* file, int line, const char* function,
                           int reserved, int level, const char* text);

// Console sink: "[%8s][%5d][%20s][%s]: %s\n" on standard output, one write.
void ZK_Log_consoleSink(void* user, const char* file, int line, const char* function, int reserved,
                        int level, const char* text);

// Installs a sink (none turns logging off). Default: the console sink, user 0.
void ZK_Log_setSink(ZK_LogSink sink, void* user);

// Sets the minimum level for a category; category 0 applies to every message.
// A level of 0 removes the entry. At most 8 entries are kept; returns 0 when full.
int ZK_Log_setMinLevel(int category, int level);

// The printed name of a level ("VERBOSE" .. "CRITICAL"), "?" outside 1..6.
const char* ZK_Log_levelName(int level);

// Formats and delivers one message at level INFO. The text is cut to 4095
// characters and one trailing LF (then one CR) is removed.
void ZK_Log_print(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// No queued writer is ever started, so this has nothing to stop; kept so the
// window's shutdown sequence reads as it does elsewhere.
void ZK_Log_shutdown();

#define ZK_LOG(...) ZK_Log_print(__FILE__, __LINE__, __func__, __VA_ARGS__)
