#include "install.h"

#include "setup.h"

WCHAR *BuildKeyPath(const WCHAR *name1, const WCHAR *name2, const WCHAR *name3, const WCHAR *name4,
                    const WCHAR *name5, const WCHAR *name6)
{
    const WCHAR *const names[KeyPathMaxNames] = {name1, name2, name3, name4, name5, name6};
    WCHAR *buffer = reinterpret_cast<WCHAR *>(setupState->scratch);
    return BuildKeyPathInto(buffer, sizeof(setupState->scratch) / sizeof(WCHAR), names);
}
