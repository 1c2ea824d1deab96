#include "support/log.h"

#include "support/mem.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

struct LogFilterEntry {
    int category;
    int minLevel;
};

constexpr int kMaxFilters = 8;
constexpr size_t kTextCapacity = 4096;

ZK_LogSink g_sink = ZK_Log_consoleSink;
void* g_sinkUser = nullptr;
LogFilterEntry g_filters[kMaxFilters];
int g_filterCount = 0;

const char* baseName(const char* file) {
    if (!file)
        return "";
    const char* name = file;
    // Source paths may come with backslashes or forward slashes: accept both.
    for (const char* p = file; *p; ++p)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    return name;
}

bool droppedByFilter(int level) {
    for (int i = 0; i < g_filterCount; ++i)
        if (g_filters[i].category == 0)
            return level < g_filters[i].minLevel;
    return false;
}

} // namespace

const char* ZK_Log_levelName(int level) {
    static const char* const names[] = {"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};
    if (level < 1 || level > 6)
        return "?";
    return names[level - 1];
}

void ZK_Log_consoleSink(void*, const char* file, int line, const char* function, int, int level,
                        const char* text) {
    std::printf("[%8s][%5d][%20s][%s]: %s\n", file ? file : "", line, function ? function : "",
                ZK_Log_levelName(level), text ? text : "");
    std::fflush(stdout);
}

void ZK_Log_setSink(ZK_LogSink sink, void* user) {
    g_sink = sink;
    g_sinkUser = user;
}

int ZK_Log_setMinLevel(int category, int level) {
    for (int i = 0; i < g_filterCount; ++i) {
        if (g_filters[i].category != category)
            continue;
        if (level == 0) {
            std::memmove(&g_filters[i], &g_filters[i + 1],
                         sizeof(LogFilterEntry) * (size_t)(g_filterCount - i - 1));
            --g_filterCount;
        } else {
            g_filters[i].minLevel = level;
        }
        return 1;
    }
    if (level == 0)
        return 1;
    if (g_filterCount == kMaxFilters)
        return 0;
    g_filters[g_filterCount++] = {category, level};
    return 1;
}

void ZK_Log_print(const char* file, int line, const char* function, const char* format, ...) {
    ZK_LogSink sink = g_sink;
    if (!sink)
        return;
    if (droppedByFilter(ZK_LOG_INFO))
        return;
    char* text = static_cast<char*>(ZK_Mem_alloc(kTextCapacity));
    if (!text)
        return;
    text[0] = '\0';
    if (format) {
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(text, kTextCapacity, format, ap);
        va_end(ap);
    }
    size_t len = std::strlen(text);
    if (len > 0 && text[len - 1] == '\n') {
        text[--len] = '\0';
        if (len > 0 && text[len - 1] == '\r')
            text[--len] = '\0';
    }
    sink(g_sinkUser, baseName(file), line, function, 0, ZK_LOG_INFO, text);
    ZK_Mem_free(text);
}

void ZK_Log_shutdown() {}
