#include "payload.h"

#include <string.h>
#include <wchar.h>

// A path ending so names a folder or a drive, not a file.
static bool IsFolderEnd(WCHAR c) { return c == L'\\' || c == L'/' || c == L':'; }

// Clears the read-only attribute of a file, which Windows neither replaces
// nor deletes. Returns the attributes it had, or INVALID_FILE_ATTRIBUTES when
// nothing was changed.
static DWORD ClearReadOnly(const WCHAR *path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return INVALID_FILE_ATTRIBUTES;
    if (!SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY))
        return INVALID_FILE_ATTRIBUTES;
    return attributes;
}

// Deletes a file that the pack left under a set-aside name. One that is
// still in use stays, as it was.
static void DeleteSetAside(const WCHAR *path)
{
    DWORD attributes = ClearReadOnly(path);
    if (!DeleteFileW(path) && attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(path, attributes);
}

UINT32 ExtractEntryToFile(const PayloadBuffer *buffer, const WCHAR *path, UINT32 offset, UINT32 count,
                          const FILETIME *time)
{
    if (!path || !buffer->data || offset > buffer->length)
        return PayloadFileNotCreated;

    // Writing the target itself would empty or cut off a working program
    // when the write fails (a full disk) or the run dies; the target is
    // replaced only by a file that is complete. The temporary name is the
    // target's with its last unit changed ("Vantok.ex~"): as long as the
    // target's, so that every target within MAX_PATH has a temporary name
    // within it too. Windows refuses paths of MAX_PATH units or more to a
    // program that is not long-path aware; Wine does not, so they are
    // refused here as Windows would.
    WCHAR partial[MAX_PATH];
    size_t length = wcsnlen(path, ARRAYSIZE(partial));
    if (length == 0 || length >= ARRAYSIZE(partial) || IsFolderEnd(path[length - 1]))
        return PayloadFileNotCreated;
    memcpy(partial, path, (length + 1) * sizeof(WCHAR));
    if (length >= 2 && !IsFolderEnd(path[length - 2])) {
        partial[length - 2] = partial[length - 1] = SetAsideMark;
        DeleteSetAside(partial);
        partial[length - 2] = path[length - 2];
    }
    partial[length - 1] = path[length - 1] == PartialMark ? L'_' : PartialMark;

    ClearReadOnly(partial);  // one left by an earlier run would refuse CREATE_ALWAYS
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return PayloadFileNotCreated;

    UINT32 remaining = buffer->length - offset;
    DWORD wanted = count < remaining ? count : remaining;
    DWORD written = 0;
    UINT32 status = PayloadOk;
    if (!WriteFile(file, buffer->data + offset, wanted, &written, nullptr) || written != wanted) {
        status = PayloadWriteFailed;
    } else {
        if (time)
            SetFileTime(file, nullptr, nullptr, time);  // a failure leaves the system's time; not reported
        // The rename below may reach the disk before the data does (a folder
        // entry is committed on its own; MOVEFILE_WRITE_THROUGH flushes only
        // a move done as a copy): after a power cut the target would be the
        // new name without its data. So the data goes to the disk first.
        if (!FlushFileBuffers(file))
            status = PayloadWriteFailed;
    }
    // A write error that the system deferred shows at the close.
    if (!CloseHandle(file) && status == PayloadOk)
        status = PayloadWriteFailed;

    // A rename within one folder: it happens whole or not at all, and it
    // works whether or not the target exists (ReplaceFileW needs an existing
    // target and can fail half-way, with the target moved aside). It fails
    // while another process has the target open or runs it; the target then
    // stays as it was, read-only again if it was.
    if (status == PayloadOk) {
        DWORD attributes = ClearReadOnly(path);
        if (!MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            status = PayloadFileNotCreated;
            if (attributes != INVALID_FILE_ATTRIBUTES)
                SetFileAttributesW(path, attributes);
        }
    }
    if (status != PayloadOk)
        DeleteFileW(partial);
    return status;
}
