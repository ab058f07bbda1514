#include "paths.h"

#include <wchar.h>

void AppendSeparator(wchar_t *path)
{
    size_t n = wcslen(path);
    if (n > 0 && (path[n - 1] == L'\\' || path[n - 1] == L'/'))
        n--;
    path[n] = L'\\';
    path[n + 1] = 0;
}

static size_t AppendBounded(wchar_t *buffer, size_t capacity, size_t used, const wchar_t *text)
{
    while (*text && used + 1 < capacity)
        buffer[used++] = *text++;
    buffer[used] = 0;
    return used;
}

wchar_t *BuildKeyPathInto(wchar_t *buffer, size_t capacity, const wchar_t *const names[KeyPathMaxNames])
{
    if (capacity == 0)
        return buffer;
    size_t used = AppendBounded(buffer, capacity, 0, L"Software");
    for (int i = 0; i < KeyPathMaxNames && names[i]; i++) {
        used = AppendBounded(buffer, capacity, used, L"\\");
        used = AppendBounded(buffer, capacity, used, names[i]);
    }
    return buffer;
}
