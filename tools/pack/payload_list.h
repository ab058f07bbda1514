// The payload list: which file goes into each of the 11 archive entries, in
// archive order, and the last-write time recorded for it.
//
//   # comment
//   license.txt                        0
//   build:Vantok.exe                   0x01DD368776AED391
//   /home/me/release/Brindlecap.exe    0x01D9D616EAD6E286
//
// One entry a line: the file, then a FILETIME in decimal or 0x-hexadecimal
// (the last field of the line, so that a path may hold blanks). The file is
// "build:NAME", a program that the build makes (NAME in the folder where the
// build stages them), an absolute path, or a path relative to the folder of
// the list itself.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum { PayloadListMaxEntries = 11, PayloadListPathSize = 4096, PayloadListErrorSize = 160 };

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

// True when the entry names a program that the build makes ("build:NAME").
bool IsBuiltPayloadFile(const char *file);

// The path of an entry's file: NAME of "build:NAME" in builtDir, an absolute
// path as it is, any other path in the folder of listPath. Returns false
// when the result does not fit into size bytes.
bool ResolvePayloadFile(const char *file, const char *listPath, const char *builtDir, char *resolved,
                        size_t size);
