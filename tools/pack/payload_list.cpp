#include "payload_list.h"

#include <stdio.h>
#include <string.h>

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

static bool ParseTime(const char *p, size_t n, uint64_t *value)
{
    uint64_t v = 0;
    if (n > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (n - 2 > 16)
            return false;
        for (size_t i = 2; i < n; i++) {
            char c = p[i];
            unsigned d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return false;
            v = (v << 4) | d;
        }
    } else {
        if (n == 0 || n > 20)
            return false;
        for (size_t i = 0; i < n; i++) {
            if (p[i] < '0' || p[i] > '9')
                return false;
            uint64_t d = static_cast<uint64_t>(p[i] - '0');
            if (v > (UINT64_MAX - d) / 10)
                return false;
            v = v * 10 + d;
        }
    }
    *value = v;
    return true;
}

bool ParsePayloadList(const char *text, size_t length, PayloadList *list)
{
    memset(list, 0, sizeof(*list));
    unsigned line = 0;
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos;
        while (end < length && text[end] != '\n')
            end++;
        line++;
        size_t p = pos;
        pos = end + 1;

        while (p < end && IsBlank(text[p]))
            p++;
        if (p == end || text[p] == '#')
            continue;

        // The time is the last field; the file is everything before it, so
        // that a path may hold blanks.
        size_t last = end;
        while (last > p && IsBlank(text[last - 1]))
            last--;
        size_t timeStart = last;
        while (timeStart > p && !IsBlank(text[timeStart - 1]))
            timeStart--;
        size_t timeLength = last - timeStart;
        size_t nameStart = p, nameEnd = timeStart;
        while (nameEnd > nameStart && IsBlank(text[nameEnd - 1]))
            nameEnd--;
        size_t nameLength = nameEnd - nameStart;

        if (nameLength == 0 || memchr(text + nameStart, '\0', last - nameStart)) {
            snprintf(list->error, sizeof(list->error),
                     "line %u: expected a file name and a last-write time", line);
            return false;
        }
        if (nameLength >= PayloadListPathSize) {
            snprintf(list->error, sizeof(list->error), "line %u: file name too long", line);
            return false;
        }
        if (list->count == PayloadListMaxEntries) {
            snprintf(list->error, sizeof(list->error),
                     "line %u: more than %d entries", line, PayloadListMaxEntries);
            return false;
        }
        PayloadListEntry *entry = &list->entries[list->count];
        if (!ParseTime(text + timeStart, timeLength, &entry->lastWriteTime)) {
            snprintf(list->error, sizeof(list->error),
                     "line %u: last-write time is not a 64-bit number", line);
            return false;
        }
        memcpy(entry->file, text + nameStart, nameLength);
        entry->file[nameLength] = '\0';
        entry->line = line;
        list->count++;
    }
    if (list->count != PayloadListMaxEntries) {
        snprintf(list->error, sizeof(list->error), "%u entries, expected exactly %d",
                 list->count, PayloadListMaxEntries);
        return false;
    }
    return true;
}

static const char BuiltPrefix[] = "build:";

bool IsBuiltPayloadFile(const char *file)
{
    return strncmp(file, BuiltPrefix, sizeof(BuiltPrefix) - 1) == 0;
}

bool ResolvePayloadFile(const char *file, const char *listPath, const char *builtDir, char *resolved,
                        size_t size)
{
    int n;
    if (IsBuiltPayloadFile(file)) {
        n = snprintf(resolved, size, "%s/%s", builtDir, file + sizeof(BuiltPrefix) - 1);
    } else if (file[0] == '/') {
        n = snprintf(resolved, size, "%s", file);
    } else {
        const char *slash = strrchr(listPath, '/');
        int folderLength = slash ? static_cast<int>(slash - listPath) : 1;
        n = snprintf(resolved, size, "%.*s/%s", folderLength, slash ? listPath : ".", file);
    }
    return n >= 0 && static_cast<size_t>(n) < size;
}
