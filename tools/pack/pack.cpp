// orbelune-pack: builds the payload container of the setup program from the
// payload list and writes the header with the three payload constants.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <lzma.h>

#include "archive.h"
#include "payload_list.h"
#include "program_image.h"

static const char ToolName[] = "orbelune-pack";
static const uint32_t DictionarySize = 3u << 20;  // 3 MiB
enum { ResolvedPathSize = PayloadListPathSize + 512 };  // a list's name as written, after its folder

static int Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s: error: ", ToolName);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 1;
}

// Reads a whole file into a malloc'd block. Returns false with errno set.
static bool ReadWholeFile(const char *path, uint8_t **data, size_t *size, size_t limit)
{
    FILE *file = fopen(path, "rb");
    if (!file)
        return false;
    uint8_t *block = nullptr;
    size_t used = 0, capacity = 0;
    for (;;) {
        if (used == capacity) {
            if (capacity > limit) {
                free(block);
                fclose(file);
                errno = EFBIG;
                return false;
            }
            capacity = capacity ? capacity * 2 : 65536;
            uint8_t *grown = static_cast<uint8_t *>(realloc(block, capacity));
            if (!grown) {
                free(block);
                fclose(file);
                errno = ENOMEM;
                return false;
            }
            block = grown;
        }
        size_t n = fread(block + used, 1, capacity - used, file);
        used += n;
        if (n == 0)
            break;
    }
    bool ok = !ferror(file);
    int savedErrno = errno;
    fclose(file);
    if (!ok) {
        free(block);
        errno = savedErrno ? savedErrno : EIO;
        return false;
    }
    *data = block;
    *size = used;
    return true;
}

// Writes through a temporary file and renames it, so that a failed run never
// leaves a half-written output behind.
static bool WriteWholeFile(const char *path, const void *data, size_t size)
{
    char temp[4096];
    if (snprintf(temp, sizeof(temp), "%s.tmp", path) >= static_cast<int>(sizeof(temp)))
        return false;
    FILE *file = fopen(temp, "wb");
    if (!file)
        return false;
    bool ok = fwrite(data, 1, size, file) == size;
    ok = (fclose(file) == 0) && ok;
    if (ok)
        ok = rename(temp, path) == 0;
    if (!ok)
        remove(temp);
    return ok;
}

static void PutU32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct LzmaSettings {
    uint32_t lc, lp, pb;
};

// lc + lp at most 4 and pb at most 4: 15 x 5 settings.
enum { SettingsCount = 75 };

// The i-th setting to try: lc 3, lp 0, pb 2 first, then the others in
// order of lc, lp and pb.
static LzmaSettings SettingsInOrder(unsigned i)
{
    const LzmaSettings usual = {3, 0, 2};
    if (i == 0)
        return usual;
    unsigned n = 0;
    for (uint32_t lc = 0; lc <= 4; lc++) {
        for (uint32_t lp = 0; lc + lp <= 4; lp++) {
            for (uint32_t pb = 0; pb <= 4; pb++) {
                if (lc == usual.lc && lp == usual.lp && pb == usual.pb)
                    continue;
                if (++n == i)
                    return {lc, lp, pb};
            }
        }
    }
    return usual;
}

// Writes the container (properties, then the raw LZMA1 stream with its end
// marker) of the archive at preset 9e with the given settings into out, at
// most capacity bytes. LZMA_BUF_ERROR means it does not fit.
static lzma_ret EncodeContainer(const uint8_t *archive, uint32_t archiveSize, LzmaSettings settings, uint8_t *out,
                                size_t capacity, size_t *size)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME))
        return LZMA_OPTIONS_ERROR;
    options.dict_size = DictionarySize;
    options.lc = settings.lc;
    options.lp = settings.lp;
    options.pb = settings.pb;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (capacity < PayloadPropertiesSize)
        return LZMA_BUF_ERROR;
    lzma_ret ret = lzma_properties_encode(&filters[0], out);
    if (ret != LZMA_OK)
        return ret;
    *size = PayloadPropertiesSize;
    return lzma_raw_buffer_encode(filters, nullptr, archive, archiveSize, out, size, capacity);
}

static void Usage()
{
    fprintf(stderr,
            "usage: %s --list FILE --dir DIR --container OUT --header OUT [--inputs OUT] [--settings LC,LP,PB]\n"
            "       %s --list FILE --dir DIR --resolve\n"
            "  --list       the payload list (11 entries, archive order)\n"
            "  --dir        the folder of the programs that the build makes (\"build:NAME\" in the list)\n"
            "  --container  the payload resource to write\n"
            "  --header     the header with the payload constants to write\n"
            "  --inputs     the record of what was read and written; while nothing of it changes, a\n"
            "               run writes nothing, so that a build may run the tool every time\n"
            "  --settings   pack with these lc, lp and pb alone instead of the smallest of all\n"
            "  --resolve    print each entry as ENTRY TIME built|given PATH, the path resolved, and stop\n",
            ToolName, ToolName);
}

// Reads "LC,LP,PB" within the format's bounds: lc + lp at most 4, pb at most 4.
static bool ParseSettings(const char *text, LzmaSettings *settings)
{
    unsigned lc, lp, pb;
    char end;
    if (sscanf(text, "%u,%u,%u%c", &lc, &lp, &pb, &end) != 3 || lc > 4 || lp > 4 || lc + lp > 4 || pb > 4)
        return false;
    *settings = {lc, lp, pb};
    return true;
}

// An entry's file as the list writes it and, where that differs, as resolved.
static const char *ShownPath(const char *written, const char *resolved)
{
    static char shown[PayloadListPathSize + ResolvedPathSize + 32];
    if (!strcmp(written, resolved))
        return written;
    snprintf(shown, sizeof(shown), "%s, resolved as %s", written, resolved);
    return shown;
}

// The record of a pack (--inputs): one line a thing read or written, with
// its CRC-64, size, last-write time and path. The tool's own executable is
// among them, so that a new tool packs again.
struct InputsRecord {
    char text[16 * (ResolvedPathSize + 96)];  // tool, options, list, 11 entries, 2 outputs
    size_t used;
    bool complete;  // false when something could not be recorded: never "unchanged"
};

// Adds a line for the bytes read from the file at path, or for a text that
// is no file (its time then "-").
static void RecordLine(InputsRecord *record, const char *what, const uint8_t *data, size_t size, const char *path,
                       bool isFile = true)
{
    char time[48] = "-";
    struct stat status;
    if (isFile) {
        if (stat(path, &status) != 0) {
            record->complete = false;
            return;
        }
        snprintf(time, sizeof(time), "%lld.%09ld", static_cast<long long>(status.st_mtim.tv_sec),
                 static_cast<long>(status.st_mtim.tv_nsec));
    }
    int n = snprintf(record->text + record->used, sizeof(record->text) - record->used, "%s %016llX %zu %s %s\n",
                     what, static_cast<unsigned long long>(lzma_crc64(data, size, 0)), size, time, path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(record->text) - record->used) {
        record->complete = false;
        return;
    }
    record->used += static_cast<size_t>(n);
}

static void RecordFile(InputsRecord *record, const char *what, const char *path)
{
    uint8_t *data = nullptr;
    size_t size = 0;
    if (!ReadWholeFile(path, &data, &size, 64u << 20)) {
        record->complete = false;
        return;
    }
    RecordLine(record, what, data, size, path);
    free(data);
}

// True when the record file holds exactly this record, and the outputs that
// it names are still as written.
static bool RecordUnchanged(InputsRecord *record, const char *recordPath, const char *containerPath,
                            const char *headerPath)
{
    size_t inputsLength = record->used;
    bool inputsComplete = record->complete;
    RecordFile(record, "container", containerPath);
    RecordFile(record, "header", headerPath);
    uint8_t *stored = nullptr;
    size_t storedSize = 0;
    bool same = record->complete && ReadWholeFile(recordPath, &stored, &storedSize, sizeof(record->text)) &&
                storedSize == record->used && !memcmp(stored, record->text, storedSize);
    free(stored);
    record->used = inputsLength;
    record->complete = inputsComplete;
    return same;
}

int main(int argc, char **argv)
{
    const char *listPath = nullptr, *dir = nullptr, *containerPath = nullptr, *headerPath = nullptr;
    const char *settingsText = nullptr, *recordPath = nullptr;
    bool resolveOnly = false;
    for (int i = 1; i < argc; i++) {
        const char **target = nullptr;
        if (!strcmp(argv[i], "--resolve")) {
            resolveOnly = true;
            continue;
        }
        if (!strcmp(argv[i], "--list")) target = &listPath;
        else if (!strcmp(argv[i], "--dir")) target = &dir;
        else if (!strcmp(argv[i], "--container")) target = &containerPath;
        else if (!strcmp(argv[i], "--header")) target = &headerPath;
        else if (!strcmp(argv[i], "--inputs")) target = &recordPath;
        else if (!strcmp(argv[i], "--settings")) target = &settingsText;
        if (!target || i + 1 == argc) {
            Usage();
            return 2;
        }
        *target = argv[++i];
    }
    if (!listPath || !dir || (!resolveOnly && (!containerPath || !headerPath))) {
        Usage();
        return 2;
    }
    LzmaSettings fixed = {};
    if (settingsText && !ParseSettings(settingsText, &fixed))
        return Fail("--settings %s: expected lc,lp,pb with lc + lp and pb at most 4", settingsText);

    static InputsRecord record = {{}, 0, true};
    uint8_t *listText = nullptr;
    size_t listSize = 0;
    if (!ReadWholeFile(listPath, &listText, &listSize, 1 << 20))
        return Fail("cannot read payload list %s: %s", listPath, strerror(errno));
    RecordFile(&record, "tool", "/proc/self/exe");
    RecordLine(&record, "options", nullptr, 0, settingsText ? settingsText : "-", false);
    RecordLine(&record, "list", listText, listSize, listPath);
    static PayloadList list;
    bool parsed = ParsePayloadList(reinterpret_cast<char *>(listText), listSize, &list);
    free(listText);
    if (!parsed)
        return Fail("%s: %s", listPath, list.error);

    static char resolved[PayloadEntryCount][ResolvedPathSize];
    for (unsigned i = 0; i < PayloadEntryCount; i++) {
        const PayloadListEntry &entry = list.entries[i];
        if (!ResolvePayloadFile(entry.file, listPath, dir, resolved[i], sizeof(resolved[i])))
            return Fail("%s:%u: path too long", listPath, entry.line);
        if (resolveOnly)
            printf("%u 0x%016llX %s %s\n", i, static_cast<unsigned long long>(entry.lastWriteTime),
                   IsBuiltPayloadFile(entry.file) ? "built" : "given", resolved[i]);
    }
    if (resolveOnly)
        return 0;

    uint8_t *archive = static_cast<uint8_t *>(calloc(1, PayloadBufferSize));
    if (!archive)
        return Fail("out of memory");
    uint32_t archiveSize = PayloadTableSize;
    for (unsigned i = 0; i < PayloadEntryCount; i++) {
        const PayloadListEntry &entry = list.entries[i];
        const char *path = resolved[i];
        uint8_t *content = nullptr;
        size_t size = 0;
        if (!ReadWholeFile(path, &content, &size, PayloadBufferSize)) {
            if (errno == EFBIG)
                return Fail("archive exceeds %u bytes at entry %u (%s)", PayloadBufferSize, i, path);
            return Fail("%s:%u: cannot read %s: %s", listPath, entry.line, ShownPath(entry.file, path),
                        strerror(errno));
        }
        if (size > PayloadBufferSize - archiveSize) {
            free(content);
            return Fail("archive exceeds %u bytes at entry %u (%s)", PayloadBufferSize, i, path);
        }
        if (i == 0) {
            if (size > PayloadLicenseLimit) {
                free(content);
                return Fail("license %s is %zu bytes, at most %u allowed", path, size,
                            static_cast<unsigned>(PayloadLicenseLimit));
            }
            for (size_t k = 0; k < size; k++) {
                if (content[k] > 0x7F) {
                    free(content);
                    return Fail("license %s is not 7-bit ASCII (byte 0x%02X at offset %zu)", path,
                                content[k], k);
                }
            }
        } else {
            // Entries 1 to 10 are installed and started as programs.
            char problem[160];
            if (!CheckProgramImage(content, size, problem, sizeof(problem))) {
                free(content);
                return Fail("%s:%u: entry %u, %s: %s", listPath, entry.line, i, ShownPath(entry.file, path),
                            problem);
            }
        }
        char what[16];
        snprintf(what, sizeof(what), "entry %u", i);
        RecordLine(&record, what, content, size, path);
        uint8_t *tableRecord = archive + PayloadRecordSize * i;
        PutU32(tableRecord, static_cast<uint32_t>(size));
        PutU32(tableRecord + 4, static_cast<uint32_t>(entry.lastWriteTime));
        PutU32(tableRecord + 8, static_cast<uint32_t>(entry.lastWriteTime >> 32));
        if (size)
            memcpy(archive + archiveSize, content, size);
        archiveSize += static_cast<uint32_t>(size);
        free(content);
    }
    uint32_t checksum = ComputePayloadChecksum(archive, archiveSize);
    if (recordPath && RecordUnchanged(&record, recordPath, containerPath, headerPath)) {
        printf("%s: payload unchanged since the last pack: archive %u bytes, checksum 0x%08X\n", ToolName,
               archiveSize, checksum);
        free(archive);
        return 0;
    }
    // A pack that fails half-way must not leave a record that matches.
    if (recordPath)
        remove(recordPath);
    // Every literal-context, literal-position and position-bit setting that
    // the format allows is tried at preset 9e, and the smallest stream is
    // kept: the loader reads them from the properties byte. The usual lc 3,
    // lp 0, pb 2 comes first and wins ties, so the choice never costs a byte,
    // and the same inputs always give the same container. --settings packs
    // once, with the settings given (a quick pack of a large test payload).
    size_t containerCapacity = PayloadPropertiesSize + archiveSize + archiveSize / 2 + 65536;
    uint8_t *container = static_cast<uint8_t *>(malloc(containerCapacity));
    uint8_t *candidate = static_cast<uint8_t *>(malloc(containerCapacity));
    if (!container || !candidate)
        return Fail("out of memory");
    size_t written = 0;
    LzmaSettings chosen = {};
    unsigned tries = settingsText ? 1 : SettingsCount;
    for (unsigned i = 0; i < tries; i++) {
        LzmaSettings settings = settingsText ? fixed : SettingsInOrder(i);
        size_t size = 0;
        // A candidate is abandoned as soon as it cannot beat the best so far.
        size_t limit = written ? written - 1 : containerCapacity;
        lzma_ret ret = EncodeContainer(archive, archiveSize, settings, candidate, limit, &size);
        if (ret == LZMA_BUF_ERROR && written)
            continue;
        if (ret != LZMA_OK)
            return Fail("liblzma could not compress the archive (code %d)", static_cast<int>(ret));
        uint8_t *swap = container;
        container = candidate;
        candidate = swap;
        written = size;
        chosen = settings;
    }
    free(candidate);
    if (written > UINT32_MAX)
        return Fail("container too large");

    char header[1024];
    int headerLength = snprintf(header, sizeof(header),
        "// Generated by %s from the payload list; do not edit.\n"
        "#pragma once\n"
        "#include <stdint.h>\n"
        "\n"
        "static constexpr uint32_t PayloadResourceSize = %zuu;  // bytes of resource 102\n"
        "static constexpr uint32_t PayloadArchiveSize = %uu;  // decoded bytes\n"
        "static constexpr uint32_t PayloadChecksum = 0x%08Xu;\n",
        ToolName, written, archiveSize, checksum);

    if (!WriteWholeFile(containerPath, container, written))
        return Fail("cannot write %s: %s", containerPath, strerror(errno));
    if (!WriteWholeFile(headerPath, header, static_cast<size_t>(headerLength)))
        return Fail("cannot write %s: %s", headerPath, strerror(errno));
    if (recordPath) {
        RecordLine(&record, "container", container, written, containerPath);
        RecordLine(&record, "header", reinterpret_cast<uint8_t *>(header), static_cast<size_t>(headerLength),
                   headerPath);
        if (record.complete && !WriteWholeFile(recordPath, record.text, record.used))
            return Fail("cannot write %s: %s", recordPath, strerror(errno));
    }
    printf("%s: %u entries, archive %u bytes, container %zu bytes (lc %u, lp %u, pb %u), checksum 0x%08X\n",
           ToolName, PayloadEntryCount, archiveSize, written, chosen.lc, chosen.lp, chosen.pb, checksum);
    free(container);
    free(archive);
    return 0;
}
