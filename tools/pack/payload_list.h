// The payload list: which file goes into each of the 11 archive entries, in
// archive order, and the last-write time recorded for it.
//
//   # comment
//   license.txt   0
//   Vantok.exe    0x01DD368776AED391
//
// One entry a line: a file name without spaces (relative to the folder given
// to the packing tool) and a FILETIME in decimal or 0x-hexadecimal.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum { PayloadListMaxEntries = 11, PayloadListPathSize = 256, PayloadListErrorSize = 160 };

struct PayloadListEntry {
    char file[PayloadListPathSize];
    uint64_t lastWriteTime;
    unsigned line;
};

struct PayloadList {
    PayloadListEntry entries[PayloadListMaxEntries];
    unsigned count;
    char error[PayloadListErrorSize];  // set when parsing fails
};

// Parses the list text (not necessarily terminated). Returns true when it
// holds exactly 11 well-formed entries; otherwise fills list->error.
bool ParsePayloadList(const char *text, size_t length, PayloadList *list);
