#include "payload.h"

#include <string.h>
#include <wchar.h>

// The name an entry is written under, beside its target, until it is whole.
// A run cut off by a crash leaves at most this file, which the next run
// overwrites and the uninstaller removes.
static const WCHAR PartialSuffix[] = L".partial";

UINT32 ExtractEntryToFile(const PayloadBuffer *buffer, const WCHAR *path, UINT32 offset, UINT32 count,
                          const FILETIME *time)
{
    if (!path || !buffer->data || offset > buffer->length)
        return PayloadFileNotCreated;

    // Writing the target itself would empty or cut off a working program
    // when the write fails (a full disk) or the run dies; the target is
    // replaced only by a file that is complete.
    WCHAR partial[320];
    size_t length = wcslen(path);
    if (length + ARRAYSIZE(PartialSuffix) > ARRAYSIZE(partial))
        return PayloadFileNotCreated;
    memcpy(partial, path, length * sizeof(WCHAR));
    memcpy(partial + length, PartialSuffix, sizeof(PartialSuffix));

    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return PayloadFileNotCreated;

    UINT32 remaining = buffer->length - offset;
    DWORD wanted = count < remaining ? count : remaining;
    DWORD written = 0;
    UINT32 status = PayloadOk;
    if (!WriteFile(file, buffer->data + offset, wanted, &written, nullptr) || written != wanted)
        status = PayloadWriteFailed;
    else if (time)
        SetFileTime(file, nullptr, nullptr, time);  // a failure leaves the system's time; not reported
    CloseHandle(file);

    // A rename within one folder: it happens whole or not at all, and it
    // works whether or not the target exists (ReplaceFileW needs an existing
    // target and can fail half-way, with the target moved aside). It fails
    // while another process has the target open or runs it; the target then
    // stays as it was.
    if (status == PayloadOk && !MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        status = PayloadFileNotCreated;
    if (status != PayloadOk)
        DeleteFileW(partial);
    return status;
}
