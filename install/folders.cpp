#include "install.h"

#include <string.h>

static bool IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// CreateDirectoryW on Windows takes at most MAX_PATH less room for an 8.3
// name; Wine takes longer ones, so they are refused here as Windows would.
static const UINT32 FolderPathLimit = MAX_PATH - 12;

bool EnsureDirectories(const WCHAR *path)
{
    WCHAR copy[MAX_PATH];
    memset(copy, 0, sizeof(copy));
    if (path[0] == 0)
        return true;
    // The working copy must hold the path and its terminator.
    size_t length = wcsnlen(path, ARRAYSIZE(copy));
    if (length >= ARRAYSIZE(copy))
        return false;

    // Separators that must have been seen, and the first index at which a
    // separator may end a prefix to examine: a share or a drive root is never
    // created.
    UINT32 minSeparators, minIndex;
    if (IsSeparator(path[0]) && IsSeparator(path[1])) {
        minSeparators = 4;
        minIndex = 5;
    } else if (IsSeparator(path[0])) {
        minSeparators = 2;
        minIndex = 2;
    } else if (path[1] == L':') {
        minSeparators = 2;
        minIndex = 4;
    } else {
        minSeparators = 1;
        minIndex = 1;
    }

    UINT32 separators = 0;
    for (UINT32 i = 0; path[i] != 0; i++) {
        copy[i] = path[i];
        if (!IsSeparator(path[i]))
            continue;
        separators++;
        if (separators < minSeparators || i < minIndex)
            continue;
        DWORD attributes = GetFileAttributesW(copy);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (i + 1 > FolderPathLimit || !CreateDirectoryW(copy, nullptr))
            return false;
    }
    return true;
}
