// Path and key-path strings. No Windows API: wchar_t holds UTF-16 on Windows.
#pragma once
#include <stddef.h>

enum { KeyPathMaxNames = 6 };

// Makes the path end in one backslash: a trailing "\" or "/" is replaced,
// otherwise one is appended. The buffer must have room for one more unit.
void AppendSeparator(wchar_t *path);

// Writes "Software" and, for each name up to the first null one, a
// backslash and the name into buffer (capacity units, always terminated).
// Returns buffer.
wchar_t *BuildKeyPathInto(wchar_t *buffer, size_t capacity, const wchar_t *const names[KeyPathMaxNames]);
