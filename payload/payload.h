// The payload on Windows: finding and loading resource 102, and writing
// payload entries to files. The format itself is in archive.h.
#pragma once
#include <windows.h>

#include "archive.h"

struct SetupState;

// Finds, decodes, verifies and indexes the payload resource of
// state->instance against the build's payload constants. Returns 0, or 4
// (resource missing or of the wrong size), 7 (no block) or 21 (corrupt).
UINT32 LoadPayload(SetupState *state);

// The last unit of a target's name in the name of its temporary file
// ("Vantok.ex~"); '_' where the target's own name ends in it.
static const WCHAR PartialMark = L'~';

// Files that the pack sets aside: a program that runs cannot be replaced or
// deleted, but its file can be renamed within its folder, and it goes on
// from the renamed file. Its set-aside name is the target's name with its
// last two units changed to SetAsideMark ("Vantok.e~~", "uninstall.e~~"):
// as long as the target's, so that it fits wherever the target does, and
// neither the name of a program of the pack (all end in ".exe") nor that of
// a temporary file (which keeps the unit before the last). Nothing of the
// pack is written under it; the setup run and the uninstaller delete a file
// of that name where they find one.
static const WCHAR SetAsideMark = L'~';

// Writes count bytes of the block from offset (cut at the block's end) in one
// write to a temporary file beside path (path with its last unit changed to
// PartialMark), stamps its last-write time when time is given, flushes it to
// the disk and only then moves it over path; a target that runs is set aside
// first (SetAsideMark). Returns 0, 16 (not created, a path of MAX_PATH units
// or more, or the target could not be replaced), 17 (write, flush or close
// failed, or the write was short), 18 (another process held the target or
// the complete temporary file: that file stays beside the target, for
// PlaceEntryFile or DiscardEntryFile) or 19 (another process held the
// temporary file's name: nothing was written). On failure an existing file
// at path is as it was, and but for 18 the temporary file is gone. A file
// left under the target's set-aside name is deleted first, where it can be.
UINT32 ExtractEntryToFile(const PayloadBuffer *buffer, const WCHAR *path, UINT32 offset, UINT32 count,
                          const FILETIME *time);

// Clears the read-only attribute of a file (not a folder), which Windows
// neither replaces nor deletes. Returns the attributes it had, or
// INVALID_FILE_ATTRIBUTES when nothing was changed.
DWORD ClearReadOnly(const WCHAR *path);

// Moves the complete temporary file that ExtractEntryToFile kept (18) over
// path again, as it would have. Returns 0, 16 or 18, as it does.
UINT32 PlaceEntryFile(const WCHAR *path);

// Deletes the temporary file that ExtractEntryToFile kept beside path.
void DiscardEntryFile(const WCHAR *path);
