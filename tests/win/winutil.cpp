#include "winutil.h"

#include <wchar.h>

bool BuildOutputPath(const WCHAR *name, WCHAR *path, DWORD capacity)
{
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    if (length == 0 || length >= capacity)
        return false;
    // strip "\<test>.exe" and "\tests"
    for (int cut = 0; cut < 2; cut++) {
        WCHAR *slash = wcsrchr(path, L'\\');
        if (!slash)
            return false;
        *slash = 0;
    }
    size_t used = wcslen(path);
    if (used + 1 + wcslen(name) + 1 > capacity)
        return false;
    path[used] = L'\\';
    wcscpy(path + used + 1, name);
    return true;
}
