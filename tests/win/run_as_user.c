/* Runs a command as another local user, for the Windows tests on a machine
 * where the caller is an administrator (a hosted runner): in that user's own
 * logon, with its profile and HKCU loaded and the environment built from its
 * profile, never the caller's.
 *
 *   run-as-user USER SECONDS COMMAND...
 *
 * The password comes from the environment variable ORBELUNE_TEST_PASSWORD,
 * so that it is on no command line; the new process does not see it, as it
 * gets no environment of the caller's. COMMAND is the rest of this program's
 * own command line as it stands. The command and everything it starts run in
 * one job, whose processes end with no crash box: what the command leaves
 * running when it ends is listed and ended, and when it runs past SECONDS
 * all of it is ended.
 *
 * Every message goes to standard output: the PowerShell of a hosted step
 * stops at the first line on standard error. The command starts in this
 * program's current folder, which the user must be able to read.
 *
 * Exit code: the command's; 124 when it ran past SECONDS (as timeout(1) says
 * it); 255 when it could not be started.
 */
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum { CommandUnits = 1024, NameUnits = 256, PastLimit = 124, LaunchFailed = 255, MaxListed = 64 };

static const WCHAR PasswordVariable[] = L"ORBELUNE_TEST_PASSWORD";

/* Copies the token at *cursor (up to white space, or between double quotes)
 * into token and moves *cursor past it and the white space after it. */
static void NextToken(const WCHAR **cursor, WCHAR *token, size_t capacity)
{
    const WCHAR *p = *cursor;
    size_t used = 0;
    BOOL quoted = FALSE;
    for (; *p && (quoted || (*p != L' ' && *p != L'\t')); p++) {
        if (*p == L'"')
            quoted = !quoted;
        else if (used + 1 < capacity)
            token[used++] = *p;
    }
    token[used] = 0;
    while (*p == L' ' || *p == L'\t')
        p++;
    *cursor = p;
}

/* The new process gets this process's window station and desktop, and the
 * caller must grant the user access to both (CreateProcessWithLogonW did so
 * itself only on Windows XP). The DACL that was there is kept in *saved for
 * RestoreAccess; a null DACL already lets everyone in and is left alone. */
static BOOL GrantAccess(HANDLE object, PSID user, DWORD access, PSECURITY_DESCRIPTOR *saved)
{
    PACL current = NULL, granted = NULL;
    *saved = NULL;
    if (GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &current, NULL, saved) !=
        ERROR_SUCCESS)
        return FALSE;
    if (!current)
        return TRUE;
    EXPLICIT_ACCESSW entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = (LPWSTR)user;
    BOOL ok = SetEntriesInAclW(1, &entry, current, &granted) == ERROR_SUCCESS &&
              SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, granted, NULL) ==
                  ERROR_SUCCESS;
    if (granted)
        LocalFree(granted);
    return ok;
}

/* Puts back the DACL that GrantAccess kept, and frees it. */
static void RestoreAccess(HANDLE object, PSECURITY_DESCRIPTOR saved)
{
    if (!saved)
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (GetSecurityDescriptorDacl(saved, &present, &dacl, &defaulted) && present && dacl)
        SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
    LocalFree(saved);
}

/* The number of processes in the job; 0 when it cannot be read. */
static DWORD ActiveProcesses(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof(accounting), NULL))
        return 0;
    return accounting.ActiveProcesses;
}

/* Prints every process still in the job, by id and image. */
static void ListProcesses(HANDLE job)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[MaxListed];
    } ids;
    ZeroMemory(&ids, sizeof(ids));
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), NULL) &&
        GetLastError() != ERROR_MORE_DATA)
        return;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < MaxListed; i++) {
        DWORD id = (DWORD)ids.list.ProcessIdList[i];
        WCHAR image[MAX_PATH] = L"?";
        DWORD units = ARRAYSIZE(image);
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process) {
            if (!QueryFullProcessImageNameW(process, 0, image, &units))
                wcscpy(image, L"?");
            CloseHandle(process);
        }
        printf("run-as-user:   process %lu %ls\n", (unsigned long)id, image);
    }
}

/* Ends every process of the job and waits up to 30 s for them to be gone. */
static void EndJob(HANDLE job, UINT code)
{
    TerminateJobObject(job, code);
    for (int i = 0; i < 300 && ActiveProcesses(job) > 0; i++)
        Sleep(100);
}

int wmain(void)
{
    setvbuf(stdout, NULL, _IONBF, 0);  /* every line out at once, also when this program is ended */
    const WCHAR *cursor = GetCommandLineW();
    WCHAR token[NameUnits], user[NameUnits], seconds[32];
    NextToken(&cursor, token, ARRAYSIZE(token));  /* this program */
    NextToken(&cursor, user, ARRAYSIZE(user));
    NextToken(&cursor, seconds, ARRAYSIZE(seconds));
    WCHAR *end = NULL;
    unsigned long limit = wcstoul(seconds, &end, 10);
    if (!user[0] || !*cursor || end == seconds || *end || limit == 0 || limit > 86400) {
        printf("usage: run-as-user USER SECONDS COMMAND... (password in %ls)\n", PasswordVariable);
        return LaunchFailed;
    }
    WCHAR command[CommandUnits];
    if (wcslen(cursor) >= ARRAYSIZE(command)) {
        printf("run-as-user: the command is longer than %d characters\n", CommandUnits - 1);
        return LaunchFailed;
    }
    wcscpy(command, cursor);
    WCHAR password[NameUnits];
    DWORD length = GetEnvironmentVariableW(PasswordVariable, password, ARRAYSIZE(password));
    if (length == 0 || length >= ARRAYSIZE(password)) {
        printf("run-as-user: %ls is not set\n", PasswordVariable);
        return LaunchFailed;
    }

    BYTE sid[SECURITY_MAX_SID_SIZE];
    WCHAR domain[NameUnits];
    DWORD sidBytes = sizeof(sid), domainUnits = ARRAYSIZE(domain);
    SID_NAME_USE use;
    if (!LookupAccountNameW(NULL, user, sid, &sidBytes, domain, &domainUnits, &use)) {
        printf("run-as-user: no account %ls (error %lu)\n", user, GetLastError());
        return LaunchFailed;
    }

    /* Every process of the command, and of whatever it starts, is in the job:
     * closing the job's last handle, even when this program is ended, ends
     * them all, and a crash ends its process instead of waiting on a box. */
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job) {
        printf("run-as-user: CreateJobObjectW failed with %lu\n", GetLastError());
        return LaunchFailed;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        printf("run-as-user: the job's limits were refused (error %lu)\n", GetLastError());
        CloseHandle(job);
        return LaunchFailed;
    }

    WCHAR name[NameUnits];
    HWINSTA station = NULL;
    HDESK desktop = NULL;
    PSECURITY_DESCRIPTOR savedStation = NULL, savedDesktop = NULL;
    if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_NAME, name, sizeof(name), NULL))
        station = OpenWindowStationW(name, FALSE, READ_CONTROL | WRITE_DAC);
    if (GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof(name), NULL))
        desktop = OpenDesktopW(name, 0, FALSE, READ_CONTROL | WRITE_DAC);
    BOOL granted = station && desktop &&
                   GrantAccess(station, sid, WINSTA_ALL_ACCESS | STANDARD_RIGHTS_REQUIRED, &savedStation) &&
                   GrantAccess(desktop, sid, DESKTOP_READOBJECTS | DESKTOP_CREATEWINDOW | DESKTOP_CREATEMENU |
                                   DESKTOP_HOOKCONTROL | DESKTOP_JOURNALRECORD | DESKTOP_JOURNALPLAYBACK |
                                   DESKTOP_ENUMERATE | DESKTOP_WRITEOBJECTS | DESKTOP_SWITCHDESKTOP |
                                   STANDARD_RIGHTS_REQUIRED,
                               &savedDesktop);
    if (!granted)
        printf("run-as-user: %ls was not granted this window station and desktop (error %lu); starting anyway\n",
               user, GetLastError());

    /* Suspended until it is in the job, so that nothing it starts escapes. */
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    BOOL started;
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
        /* Wine has no other logons: its CreateProcessWithLogonW is a stub
         * that fails. The command runs as this user there, so that the
         * job, its limit and the ending of what is left can still be seen. */
        printf("run-as-user: Wine has no logon of another user; the command runs as this one\n");
        started = CreateProcessW(NULL, command, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process);
    } else {
        started = CreateProcessWithLogonW(user, L".", password, LOGON_WITH_PROFILE, NULL, command,
                                          CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, NULL, NULL, &startup,
                                          &process);
    }
    SecureZeroMemory(password, sizeof(password));
    DWORD code = LaunchFailed;
    if (!started) {
        printf("run-as-user: CreateProcessWithLogonW failed with %lu\n", GetLastError());
    } else if (!AssignProcessToJobObject(job, process.hProcess)) {
        printf("run-as-user: the command could not be put in the job (error %lu)\n", GetLastError());
        TerminateProcess(process.hProcess, LaunchFailed);
    } else {
        ResumeThread(process.hThread);
        if (WaitForSingleObject(process.hProcess, limit * 1000) == WAIT_TIMEOUT) {
            printf("run-as-user: the command ran past its limit of %lu s; its processes:\n", limit);
            ListProcesses(job);
            EndJob(job, PastLimit);
            code = PastLimit;
        } else {
            if (!GetExitCodeProcess(process.hProcess, &code))
                code = LaunchFailed;
            if (ActiveProcesses(job) > 0) {
                printf("run-as-user: the command ended with processes still running, now ended:\n");
                ListProcesses(job);
                EndJob(job, 1);
            }
        }
    }
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    RestoreAccess(desktop, savedDesktop);
    RestoreAccess(station, savedStation);
    if (desktop)
        CloseDesktop(desktop);
    if (station)
        CloseWindowStation(station);
    CloseHandle(job);
    return (int)code;
}
