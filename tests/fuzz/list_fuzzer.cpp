// Fuzz target of the packing tool's payload-list parser: arbitrary text in,
// either exactly 11 well-formed entries or an error message out. An accepted
// list is written back in the list format and must parse to the same
// entries.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "payload_list.h"

namespace {

#define CHECK(condition, what)                                                   \
    do {                                                                         \
        if (!(condition)) {                                                      \
            fprintf(stderr, "list_fuzzer: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            abort();                                                             \
        }                                                                        \
    } while (0)

bool IsBlankOrEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

void CheckEntries(const PayloadList &list)
{
    CHECK(list.count == PayloadListMaxEntries, "accepted a list without exactly 11 entries");
    CHECK(list.error[0] == 0, "accepted a list with an error message");
    unsigned previousLine = 0;
    for (unsigned i = 0; i < list.count; i++) {
        const PayloadListEntry &entry = list.entries[i];
        const char *end = static_cast<const char *>(memchr(entry.file, 0, sizeof(entry.file)));
        CHECK(end, "file name not terminated inside its field");
        size_t length = static_cast<size_t>(end - entry.file);
        CHECK(length > 0, "empty file name");
        // Blanks inside a name belong to it (a path may hold them); at its ends they do not.
        CHECK(!IsBlankOrEnd(entry.file[0]) && !IsBlankOrEnd(entry.file[length - 1]), "file name starts or ends blank");
        CHECK(!memchr(entry.file, '\n', length), "file name holds a line end");
        CHECK(entry.line > previousLine, "entries out of line order");
        previousLine = entry.line;
    }
}

// The accepted entries in the list format, parsed again.
void CheckRoundTrip(const PayloadList &list)
{
    static char text[PayloadListMaxEntries * (PayloadListPathSize + 32)];
    size_t used = 0;
    for (unsigned i = 0; i < list.count; i++) {
        int n = snprintf(text + used, sizeof(text) - used, "%s 0x%llX\n", list.entries[i].file,
                         static_cast<unsigned long long>(list.entries[i].lastWriteTime));
        CHECK(n > 0 && static_cast<size_t>(n) < sizeof(text) - used, "round-trip text too long");
        used += static_cast<size_t>(n);
    }
    static PayloadList again;
    CHECK(ParsePayloadList(text, used, &again), "the written-back list is refused");
    for (unsigned i = 0; i < list.count; i++) {
        CHECK(strcmp(again.entries[i].file, list.entries[i].file) == 0, "file name changed by a round trip");
        CHECK(again.entries[i].lastWriteTime == list.entries[i].lastWriteTime, "time changed by a round trip");
        CHECK(again.entries[i].line == i + 1, "line numbers of the written-back list");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A block of exactly the input's size, not terminated: any read past
    // the given length lands in AddressSanitizer's red zone.
    char *text = static_cast<char *>(malloc(size ? size : 1));
    CHECK(text, "no memory for the text");
    if (size)
        memcpy(text, data, size);

    static PayloadList list;
    memset(&list, 0xA5, sizeof(list));  // the parser must not rely on a cleared record
    bool accepted = ParsePayloadList(text, size, &list);
    CHECK(memchr(list.error, 0, sizeof(list.error)), "error message not terminated");
    if (accepted) {
        CheckEntries(list);
        CheckRoundTrip(list);
    } else {
        CHECK(list.error[0] != 0, "refused without an error message");
        CHECK(list.count <= PayloadListMaxEntries, "more entries than the list holds");
    }
    free(text);
    return 0;
}
