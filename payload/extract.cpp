#include "payload.h"

#include <string.h>
#include <wchar.h>

// A path ending so names a folder or a drive, not a file.
static bool IsFolderEnd(WCHAR c) { return c == L'\\' || c == L'/' || c == L':'; }

DWORD ClearReadOnly(const WCHAR *path)
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

// The temporary and the set-aside name of a target (payload.h). False for a
// path that names no file or reaches MAX_PATH: Windows refuses such paths to
// a program that is not long-path aware; Wine does not, so they are refused
// here as Windows would.
static bool MakeSideNames(const WCHAR *path, WCHAR (&partial)[MAX_PATH], WCHAR (&setAside)[MAX_PATH])
{
    size_t length = path ? wcsnlen(path, MAX_PATH) : 0;
    if (length < 2 || length >= MAX_PATH || IsFolderEnd(path[length - 1]) || IsFolderEnd(path[length - 2]))
        return false;
    memcpy(partial, path, (length + 1) * sizeof(WCHAR));
    memcpy(setAside, path, (length + 1) * sizeof(WCHAR));
    partial[length - 1] = path[length - 1] == PartialMark ? L'_' : PartialMark;
    setAside[length - 2] = setAside[length - 1] = SetAsideMark;
    return true;
}

static bool IsHeldError(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

// Windows refuses to replace or delete the file of a running program
// (ERROR_ACCESS_DENIED) but lets it be renamed within its volume, and the
// program goes on from the renamed file. So the target goes to its
// set-aside name, and the new file takes its place; when the new file
// cannot go in, the old one gets its name back. Only a plain file is set
// aside: a folder in the way is no file of ours. A target that another
// process holds refuses the rename aside (ERROR_SHARING_VIOLATION), and so
// does a set-aside name that an earlier program still runs from: both
// count as held.
static UINT32 SetTargetAside(const WCHAR *partial, const WCHAR *path, const WCHAR *setAside)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return PayloadFileNotCreated;
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PayloadFileHeld;
    DeleteSetAside(setAside);
    if (!MoveFileExW(path, setAside, MOVEFILE_WRITE_THROUGH))
        return PayloadFileHeld;
    if (MoveFileExW(partial, path, MOVEFILE_WRITE_THROUGH))
        return PayloadOk;
    DWORD error = GetLastError();
    MoveFileExW(setAside, path, MOVEFILE_WRITE_THROUGH);
    return IsHeldError(error) ? PayloadFileHeld : PayloadFileNotCreated;
}

// A rename within one folder: it happens whole or not at all, and it works
// whether or not the target exists (ReplaceFileW needs an existing target
// and can fail half-way, with the target moved aside). When it fails, the
// target stays as it was, read-only again if it was.
static UINT32 ReplaceTarget(const WCHAR *partial, const WCHAR *path, const WCHAR *setAside)
{
    DWORD attributes = ClearReadOnly(path);
    if (MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return PayloadOk;
    DWORD error = GetLastError();
    UINT32 status = IsHeldError(error) ? PayloadFileHeld : PayloadFileNotCreated;
    if (error == ERROR_ACCESS_DENIED)
        status = SetTargetAside(partial, path, setAside);
    if (status != PayloadOk && attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(path, attributes);
    return status;
}

UINT32 ExtractEntryToFile(const PayloadBuffer *buffer, const WCHAR *path, UINT32 offset, UINT32 count,
                          const FILETIME *time)
{
    // Writing the target itself would empty or cut off a working program
    // when the write fails (a full disk) or the run dies; the target is
    // replaced only by a file that is complete, written under a temporary
    // name as long as the target's.
    WCHAR partial[MAX_PATH], setAside[MAX_PATH];
    if (!buffer->data || offset > buffer->length || !MakeSideNames(path, partial, setAside))
        return PayloadFileNotCreated;
    DeleteSetAside(setAside);

    ClearReadOnly(partial);  // one left by an earlier run would refuse CREATE_ALWAYS
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return IsHeldError(GetLastError()) ? PayloadTemporaryHeld : PayloadFileNotCreated;

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

    if (status == PayloadOk)
        status = ReplaceTarget(partial, path, setAside);
    if (status != PayloadOk && status != PayloadFileHeld)
        DeleteFileW(partial);
    return status;
}

UINT32 PlaceEntryFile(const WCHAR *path)
{
    WCHAR partial[MAX_PATH], setAside[MAX_PATH];
    if (!MakeSideNames(path, partial, setAside))
        return PayloadFileNotCreated;
    UINT32 status = ReplaceTarget(partial, path, setAside);
    if (status != PayloadOk && status != PayloadFileHeld)
        DeleteFileW(partial);
    return status;
}

void DiscardEntryFile(const WCHAR *path)
{
    WCHAR partial[MAX_PATH], setAside[MAX_PATH];
    if (MakeSideNames(path, partial, setAside))
        DeleteFileW(partial);
}
