#include "payload.h"

UINT32 ExtractEntryToFile(const PayloadBuffer *buffer, const WCHAR *path, UINT32 offset, UINT32 count,
                          const FILETIME *time)
{
    if (!path || !buffer->data || offset > buffer->length)
        return PayloadFileNotCreated;

    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    return status;
}
