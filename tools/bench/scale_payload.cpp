// The payloads of the scale run of `make bench`: the files of the payload
// list, with a section of code-like bytes appended to each of the eight
// programs, so that the archive decodes to about the size asked for. The
// added bytes are pieces of the staged programs themselves (machine code,
// tables, resources) with some bytes changed, as in a larger build of the
// same programs: partly compressible, neither random nor zero.
//
//   scale_payload --list FILE --dir DIR --size BYTES --out DIR   (BYTES 0: nothing added)
//
// Writes the files and a payload list naming them into --out; the packing
// tool then packs them like the shipped ones. The same inputs always give
// the same bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive.h"
#include "payload_list.h"

namespace {

enum { FirstProgram = 1, ProgramCount = 8, MaxFileBytes = PayloadBufferSize };

struct File {
    uint8_t *data;
    size_t size;
};

bool ReadFile(const char *path, File *file)
{
    FILE *in = fopen(path, "rb");
    if (!in)
        return false;
    file->data = static_cast<uint8_t *>(malloc(MaxFileBytes));
    file->size = file->data ? fread(file->data, 1, MaxFileBytes, in) : 0;
    bool ok = file->data && !ferror(in) && feof(in);
    fclose(in);
    return ok;
}

bool WriteFile(const char *path, const void *data, size_t size)
{
    FILE *out = fopen(path, "wb");
    if (!out)
        return false;
    bool ok = fwrite(data, 1, size, out) == size;
    return fclose(out) == 0 && ok;
}

// xorshift64: a fixed sequence, so that the payloads are reproducible.
uint64_t Next(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    *state = x;
    return x;
}

// Appends count code-like bytes to out: runs of 4 to 35 bytes copied from
// the source, about one byte in eight of them replaced by another, as
// addresses and constants differ between two builds of similar code.
void AppendSection(const File &source, uint64_t *random, uint8_t *out, size_t count)
{
    size_t done = 0;
    while (done < count) {
        uint64_t r = Next(random);
        size_t run = 4 + (r & 31);
        size_t from = (r >> 8) % (source.size - run);
        for (size_t i = 0; i < run && done < count; i++) {
            uint64_t change = Next(random);
            out[done++] = (change & 7) == 0 ? static_cast<uint8_t>(change >> 8) : source.data[from + i];
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *listPath = nullptr, *dir = nullptr, *outDir = nullptr;
    unsigned long target = 0;
    bool sized = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--list")) listPath = argv[i + 1];
        else if (!strcmp(argv[i], "--dir")) dir = argv[i + 1];
        else if (!strcmp(argv[i], "--out")) outDir = argv[i + 1];
        else if (!strcmp(argv[i], "--size")) target = strtoul(argv[i + 1], nullptr, 10), sized = true;
    }
    if (!listPath || !dir || !outDir || !sized || target > PayloadBufferSize) {
        fprintf(stderr, "usage: scale_payload --list FILE --dir DIR --size BYTES (0, or at most %u) --out DIR\n",
                PayloadBufferSize);
        return 2;
    }

    File listText = {};
    static PayloadList list;
    if (!ReadFile(listPath, &listText) ||
        !ParsePayloadList(reinterpret_cast<char *>(listText.data), listText.size, &list)) {
        fprintf(stderr, "scale_payload: cannot read the payload list %s: %s\n", listPath, list.error);
        return 1;
    }

    static File files[PayloadEntryCount];
    size_t archiveSize = PayloadTableSize;
    for (unsigned i = 0; i < PayloadEntryCount; i++) {
        char path[PayloadListPathSize + 512];
        if (!ResolvePayloadFile(list.entries[i].file, listPath, dir, path, sizeof(path)) ||
            !ReadFile(path, &files[i])) {
            fprintf(stderr, "scale_payload: cannot read %s\n", path);
            return 1;
        }
        archiveSize += files[i].size;
    }
    // Size 0 asks for the shipped programs as they are: the smallest size
    // of the run is the payload that the setup really carries.
    if (target == 0)
        target = archiveSize;
    if (archiveSize > target) {
        fprintf(stderr, "scale_payload: the payload is already %zu bytes, over %lu\n", archiveSize, target);
        return 1;
    }

    // The source of the added sections: every program of the payload.
    File source = {static_cast<uint8_t *>(malloc(archiveSize)), 0};
    if (!source.data)
        return 1;
    for (unsigned i = FirstProgram; i < PayloadEntryCount; i++) {
        memcpy(source.data + source.size, files[i].data, files[i].size);
        source.size += files[i].size;
    }

    if (source.size < 64) {
        fprintf(stderr, "scale_payload: the programs are too small to take sections from\n");
        return 1;
    }

    // The extra bytes are shared out evenly; the last program takes the rest.
    size_t extra = target - archiveSize;
    uint64_t random = 0x9E3779B97F4A7C15ull ^ target;
    char listOut[PayloadEntryCount * 64 + 256];
    int used = snprintf(listOut, sizeof(listOut), "# Scale payload of %lu bytes, written by scale_payload.\n", target);
    for (unsigned i = 0; i < PayloadEntryCount; i++) {
        File &file = files[i];
        bool program = i >= FirstProgram && i < FirstProgram + ProgramCount;
        if (program) {
            size_t share = extra / ProgramCount + (i == FirstProgram + ProgramCount - 1 ? extra % ProgramCount : 0);
            if (file.size + share > MaxFileBytes)
                return 1;
            AppendSection(source, &random, file.data + file.size, share);
            file.size += share;
        }
        // Entry i is written as entryI.bin, whatever path the list gives.
        char path[4096];
        snprintf(path, sizeof(path), "%s/entry%u.bin", outDir, i);
        if (!WriteFile(path, file.data, file.size)) {
            fprintf(stderr, "scale_payload: cannot write %s\n", path);
            return 1;
        }
        used += snprintf(listOut + used, sizeof(listOut) - used, "entry%u.bin 0x%016llX\n", i,
                         static_cast<unsigned long long>(list.entries[i].lastWriteTime));
        free(file.data);
    }
    char listPathOut[4096];
    snprintf(listPathOut, sizeof(listPathOut), "%s/payload.list", outDir);
    if (used >= static_cast<int>(sizeof(listOut)) || !WriteFile(listPathOut, listOut, used)) {
        fprintf(stderr, "scale_payload: cannot write %s\n", listPathOut);
        return 1;
    }
    free(source.data);
    free(listText.data);
    return 0;
}
