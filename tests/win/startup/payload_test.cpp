// LoadPayload on the real payload of the build and on copies of the built
// setup program whose resource 102 was replaced, removed or damaged; and
// the start-up of such a copy as a process of its own.
#include <windows.h>
#include <shlobj.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload.h"
#include "payload_constants.h"
#include "resource.h"
#include "winutil.h"

namespace {

const WCHAR MainWindowTitle[] = L"Orbelune App Pack (Single User)";

std::string Narrow(const WCHAR *text)
{
    std::string out;
    for (; *text; text++)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found)
{
    reinterpret_cast<std::vector<WORD> *>(found)->push_back(language);
    return TRUE;
}

// The bytes of resource 102 in the built setup program and the language
// that the resource compiler gave it (the one version there is).
void ReadBuiltPayload(std::vector<BYTE> *bytes, WORD *language)
{
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(L"OrbeluneSetup.exe", path, ARRAYSIZE(path)));
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "LoadLibraryExW failed with " << GetLastError();

    std::vector<WORD> languages;
    EnumResourceLanguagesW(module, RT_RCDATA, MAKEINTRESOURCEW(IDR_PAYLOAD), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    HRSRC resource = nullptr;
    if (languages.size() == 1)
        resource = FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(IDR_PAYLOAD), languages[0]);
    const BYTE *data = nullptr;
    DWORD size = resource ? SizeofResource(module, resource) : 0;
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    if (loaded)
        data = static_cast<const BYTE *>(LockResource(loaded));
    if (data) {
        bytes->assign(data, data + size);
        *language = languages[0];
    }
    FreeLibrary(module);
    ASSERT_EQ(languages.size(), 1u) << "resource 102 has a single language version";
    ASSERT_NE(data, nullptr) << "resource 102 could not be read";
    ASSERT_EQ(bytes->size(), PayloadResourceSize);
}

// One resource of a module: type, name and language, with a copy of its bytes.
struct ResourceCopy {
    std::wstring type, name;  // "#n" for integer ids
    WORD language;
    std::vector<BYTE> bytes;
};

std::wstring ResourceKey(LPCWSTR id)
{
    if (IS_INTRESOURCE(id))
        return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id));
    return id;
}

LPCWSTR ResourceId(const std::wstring &key)
{
    if (key[0] == L'#')
        return MAKEINTRESOURCEW(_wtoi(key.c_str() + 1));
    return key.c_str();
}

BOOL CALLBACK CopyLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param)
{
    ResourceCopy copy = {ResourceKey(type), ResourceKey(name), language, {}};
    HRSRC resource = FindResourceExW(module, type, name, language);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const BYTE *data = loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
    if (data)
        copy.bytes.assign(data, data + SizeofResource(module, resource));
    reinterpret_cast<std::vector<ResourceCopy> *>(param)->push_back(copy);
    return TRUE;
}

BOOL CALLBACK CopyName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param)
{
    EnumResourceLanguagesW(module, type, name, CopyLanguage, param);
    return TRUE;
}

BOOL CALLBACK CopyType(HMODULE module, LPWSTR type, LONG_PTR param)
{
    EnumResourceNamesW(module, type, CopyName, param);
    return TRUE;
}

// A copy of the built setup program in a fresh temporary folder, with
// resource 102 replaced by bytes (or removed when bytes is null). The folder
// and the copy are deleted with the object.
class PatchedSetup {
public:
    PatchedSetup() { folder_[0] = path_[0] = 0; }
    ~PatchedSetup()
    {
        if (folder_[0])
            DeleteTree(folder_);
    }
    void Create(const BYTE *bytes, DWORD size)
    {
        std::vector<BYTE> original;
        WORD language = 0;
        ASSERT_NO_FATAL_FAILURE(ReadBuiltPayload(&original, &language));

        WCHAR built[MAX_PATH];
        ASSERT_TRUE(BuildOutputPath(L"OrbeluneSetup.exe", built, ARRAYSIZE(built)));
        std::vector<ResourceCopy> resources;
        HMODULE module = LoadLibraryExW(built, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "LoadLibraryExW failed with " << GetLastError();
        EnumResourceTypesW(module, CopyType, reinterpret_cast<LONG_PTR>(&resources));
        FreeLibrary(module);
        ASSERT_GT(resources.size(), 1u) << "resources of the setup program";

        ASSERT_TRUE(MakeTempFolder(folder_, ARRAYSIZE(folder_)));
        swprintf(path_, ARRAYSIZE(path_), L"%lsOrbeluneSetup.exe", folder_);
        ASSERT_TRUE(CopyFileW(built, path_, FALSE)) << "CopyFileW failed with " << GetLastError();

        // The resources are written afresh, all but 102 unchanged: removing
        // 102 in place (UpdateResourceW with no data) reported success under
        // Wine 8 but left it in the file.
        HANDLE update = BeginUpdateResourceW(path_, TRUE);
        ASSERT_NE(update, nullptr) << "BeginUpdateResourceW failed with " << GetLastError();
        bool updated = true;
        for (ResourceCopy &resource : resources) {
            if (resource.type == ResourceKey(RT_RCDATA) && resource.name == ResourceKey(MAKEINTRESOURCEW(IDR_PAYLOAD)))
                continue;
            updated = updated && UpdateResourceW(update, ResourceId(resource.type), ResourceId(resource.name),
                                                 resource.language, resource.bytes.data(),
                                                 static_cast<DWORD>(resource.bytes.size()));
        }
        if (bytes)
            updated = updated && UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(IDR_PAYLOAD), language,
                                                 const_cast<BYTE *>(bytes), size);
        EXPECT_TRUE(updated) << "UpdateResourceW failed with " << GetLastError();
        ASSERT_TRUE(EndUpdateResourceW(update, !updated)) << "EndUpdateResourceW failed with " << GetLastError();
        ASSERT_TRUE(updated);
    }
    const WCHAR *Path() const { return path_; }

private:
    WCHAR folder_[MAX_PATH];
    WCHAR path_[MAX_PATH];
};

// Loads the patched copy as a data file and runs LoadPayload on it as the
// record's instance. The record stays in setup for the caller to inspect;
// the module stays loaded as long as the object lives.
struct PatchedLoad {
    InProcessSetup setup;
    HMODULE module = nullptr;
    UINT32 status = 0xFFFFFFFF;
    ~PatchedLoad()
    {
        if (module)
            FreeLibrary(module);
    }
};

void LoadPatched(const PatchedSetup &copy, PatchedLoad *load)
{
    // A data-file module has its low bits set; FindResourceW accepts it.
    load->module = LoadLibraryExW(copy.Path(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(load->module, nullptr) << "LoadLibraryExW failed with " << GetLastError();
    load->setup.State().instance = load->module;
    load->status = LoadPayload(&load->setup.State());
}

}  // namespace

TEST(LoadPayload, RealPayloadLoadsAndIndexEndsAtArchiveSize)
{
    InProcessSetup setup;
    SetupState &state = setup.State();
    ASSERT_EQ(LoadPayload(&state), 0u);
    EXPECT_EQ(state.payloadResourceSize, PayloadResourceSize);
    EXPECT_NE(state.payloadResource, nullptr);
    EXPECT_EQ(state.entries[0].offset, 132u);
    EXPECT_EQ(state.entries[10].offset + state.entries[10].size, PayloadArchiveSize);
    EXPECT_EQ(state.payload.length, PayloadBufferSize);
    EXPECT_EQ(ComputePayloadChecksum(state.payload.data, PayloadArchiveSize), PayloadChecksum);
}

TEST(LoadPayload, UnchangedCopyOfTheSetupProgramLoads)
{
    // The patching itself must not disturb a good payload, or the failures
    // below would prove nothing.
    std::vector<BYTE> payload;
    WORD language = 0;
    ASSERT_NO_FATAL_FAILURE(ReadBuiltPayload(&payload, &language));
    PatchedSetup copy;
    ASSERT_NO_FATAL_FAILURE(copy.Create(payload.data(), static_cast<DWORD>(payload.size())));
    PatchedLoad load;
    ASSERT_NO_FATAL_FAILURE(LoadPatched(copy, &load));
    EXPECT_EQ(load.status, 0u);
    const SetupState &state = load.setup.State();
    EXPECT_EQ(state.payloadResourceSize, PayloadResourceSize);
    ASSERT_NE(state.payloadResource, nullptr);
    EXPECT_EQ(memcmp(state.payloadResource, payload.data(), payload.size()), 0) << "resource bytes of the copy";
    EXPECT_EQ(state.entries[10].offset + state.entries[10].size, PayloadArchiveSize);
}

TEST(LoadPayload, MissingResourceIsStatus4WithNoResourcePointer)
{
    PatchedSetup copy;
    ASSERT_NO_FATAL_FAILURE(copy.Create(nullptr, 0));
    PatchedLoad load;
    ASSERT_NO_FATAL_FAILURE(LoadPatched(copy, &load));
    EXPECT_EQ(FindResourceW(load.module, MAKEINTRESOURCEW(IDR_PAYLOAD), RT_RCDATA), nullptr)
        << "the copy still has resource 102";

    const SetupState &state = load.setup.State();
    EXPECT_EQ(load.status, 4u);
    EXPECT_EQ(state.payloadResource, nullptr);
    EXPECT_EQ(state.payloadResourceSize, 0u);
    EXPECT_EQ(state.payload.data, nullptr) << "no block is allocated without a resource";
}

TEST(LoadPayload, ResourceOneByteLongerOrShorterIsStatus4WithoutDecoding)
{
    std::vector<BYTE> payload;
    WORD language = 0;
    ASSERT_NO_FATAL_FAILURE(ReadBuiltPayload(&payload, &language));

    // One byte more: the stream itself is intact, so only the size check
    // can refuse it. One byte less cuts the end marker.
    std::vector<BYTE> longer = payload;
    longer.push_back(0);
    std::vector<BYTE> shorter(payload.begin(), payload.end() - 1);
    const std::vector<BYTE> *cases[] = {&longer, &shorter};
    for (const std::vector<BYTE> *bytes : cases) {
        SCOPED_TRACE(testing::Message() << "resource of " << bytes->size() << " bytes");
        PatchedSetup copy;
        ASSERT_NO_FATAL_FAILURE(copy.Create(bytes->data(), static_cast<DWORD>(bytes->size())));
        PatchedLoad load;
        ASSERT_NO_FATAL_FAILURE(LoadPatched(copy, &load));
        const SetupState &state = load.setup.State();
        EXPECT_EQ(load.status, 4u);
        EXPECT_EQ(state.payloadResourceSize, bytes->size()) << "the size that the system reports";
        EXPECT_NE(state.payloadResource, nullptr) << "the resource itself was found and locked";
        EXPECT_EQ(state.payload.data, nullptr) << "no block allocated, so nothing was decoded";
        EXPECT_EQ(state.entries[0].offset, 0u) << "no index built";
    }
}

TEST(LoadPayload, ChangedStreamByteOrBadPropertiesByteIsStatus21)
{
    std::vector<BYTE> payload;
    WORD language = 0;
    ASSERT_NO_FATAL_FAILURE(ReadBuiltPayload(&payload, &language));
    const size_t size = payload.size();

    struct Damage {
        const char *what;
        size_t offset;
        BYTE value;  // stored at offset
    };
    // The last few bytes of a range-coded stream may only flush the coder,
    // so the changes stay well inside it.
    const Damage damages[] = {
        {"first stream byte", 5, static_cast<BYTE>(payload[5] ^ 0x55)},
        {"second stream byte", 6, static_cast<BYTE>(payload[6] ^ 0x01)},
        {"byte in the middle", size / 2, static_cast<BYTE>(payload[size / 2] ^ 0x80)},
        {"byte at three quarters", size * 3 / 4, static_cast<BYTE>(payload[size * 3 / 4] ^ 0x10)},
        {"properties byte 225", 0, 225},
        {"properties byte 255", 0, 255},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.what);
        std::vector<BYTE> bytes = payload;
        bytes[damage.offset] = damage.value;
        PatchedSetup copy;
        ASSERT_NO_FATAL_FAILURE(copy.Create(bytes.data(), static_cast<DWORD>(bytes.size())));
        PatchedLoad load;
        ASSERT_NO_FATAL_FAILURE(LoadPatched(copy, &load));
        const SetupState &state = load.setup.State();
        EXPECT_EQ(load.status, 21u);
        EXPECT_EQ(state.payloadResourceSize, PayloadResourceSize);
        // The block stays allocated after a 21 until the run releases it.
        EXPECT_NE(state.payload.data, nullptr);
        EXPECT_EQ(state.payload.owned, 1u);
        EXPECT_EQ(state.payload.length, PayloadBufferSize) << "the limit is never reduced";
        // Length and checksum are checked before the table is read.
        for (UINT32 i = 0; i < PayloadEntryCount; i++)
            EXPECT_EQ(state.entries[i].size, 0u) << "entry " << i << " indexed from an archive that failed";
        if (damage.offset == 0 && state.payload.data) {
            // The decoder cannot be set up at all: nothing is produced.
            size_t nonzero = 0;
            for (UINT32 i = 0; i < state.payload.length; i++)
                nonzero += state.payload.data[i] != 0;
            EXPECT_EQ(nonzero, 0u) << "bytes written into the block";
        }
    }
}

// ---------------------------------------------------------------------------
// The setup program as a process of its own.

namespace {

struct WindowSearch {
    DWORD processId;
    const WCHAR *className;
    const WCHAR *title;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId)
        return TRUE;
    WCHAR className[64], title[128];
    GetClassNameW(window, className, ARRAYSIZE(className));
    GetWindowTextW(window, title, ARRAYSIZE(title));
    if (wcscmp(className, search->className) || wcscmp(title, search->title))
        return TRUE;
    search->found = window;
    return FALSE;
}

// A top-level window of the process with this class and title, or null.
HWND FindProcessWindow(DWORD processId, const WCHAR *className, const WCHAR *title)
{
    WindowSearch search = {processId, className, title, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits until the process shows such a window; null when it does not.
HWND WaitForProcessWindow(HANDLE process, DWORD processId, const WCHAR *className, const WCHAR *title)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 30000) {
        // The box is visible once its initialisation has placed its buttons.
        HWND window = FindProcessWindow(processId, className, title);
        if (window && IsWindowVisible(window))
            return window;
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0)
            return nullptr;  // it ended without showing the window
    }
    return nullptr;
}

struct ChildTexts {
    std::vector<std::wstring> statics;
    std::vector<HWND> buttons;  // visible ones
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param)
{
    ChildTexts *texts = reinterpret_cast<ChildTexts *>(param);
    WCHAR className[64], text[256];
    GetClassNameW(child, className, ARRAYSIZE(className));
    GetWindowTextW(child, text, ARRAYSIZE(text));
    if (!_wcsicmp(className, L"Static") && text[0])
        texts->statics.push_back(text);
    if (!_wcsicmp(className, L"Button") && IsWindowVisible(child))
        texts->buttons.push_back(child);
    return TRUE;
}

// Starts a program and ends it by force if a test leaves it running.
class ChildProcess {
public:
    ChildProcess() { memset(&info_, 0, sizeof(info_)); }
    ~ChildProcess()
    {
        if (!info_.hProcess)
            return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool Start(const WCHAR *path)
    {
        WCHAR commandLine[MAX_PATH + 2];
        swprintf(commandLine, ARRAYSIZE(commandLine), L"\"%ls\"", path);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        return CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_);
    }
    HANDLE Handle() const { return info_.hProcess; }
    DWORD Id() const { return info_.dwProcessId; }
    // Waits for the end; returns the exit code, or STILL_ACTIVE on timeout.
    DWORD WaitForExit(DWORD ms) const
    {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION info_;
};

// Runs the program at path, expects the start-up failure box and nothing
// else, dismisses it with OK and expects the exit code 0.
void ExpectInitFailureBox(const WCHAR *path)
{
    ChildProcess process;
    ASSERT_TRUE(process.Start(path)) << "CreateProcessW failed with " << GetLastError();
    HWND box = WaitForProcessWindow(process.Handle(), process.Id(), L"#32770", L"Error");
    ASSERT_NE(box, nullptr) << "no top-level \"Error\" box of the setup process";

    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "the box has no owner window";
    ChildTexts texts;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&texts));
    // The id of the text static is 0xFFFF on Windows but 100 in older Wine,
    // so the text is found by class rather than by id.
    ASSERT_EQ(texts.statics.size(), 1u) << "one static with text in the box";
    EXPECT_EQ(Narrow(texts.statics[0].c_str()), "Setup initialization failed.");
    ASSERT_EQ(texts.buttons.size(), 1u) << "an OK button only";
    EXPECT_EQ(GetDlgCtrlID(texts.buttons[0]), IDOK);

    EXPECT_EQ(FindProcessWindow(process.Id(), L"#32770", MainWindowTitle), nullptr)
        << "the main window exists beside the failure box";

    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(texts.buttons[0]));
    EXPECT_EQ(process.WaitForExit(15000), 0u) << "exit code after OK";
}

}  // namespace

TEST(SetupProcess, DamagedPayloadShowsInitFailureWithoutOwnerAndExitsWithZero)
{
    CleanUserState();
    std::vector<BYTE> payload;
    WORD language = 0;
    ASSERT_NO_FATAL_FAILURE(ReadBuiltPayload(&payload, &language));
    {
        SCOPED_TRACE("one byte of the stream changed (status 21)");
        std::vector<BYTE> damaged = payload;
        damaged[damaged.size() / 2] ^= 0x80;
        PatchedSetup copy;
        ASSERT_NO_FATAL_FAILURE(copy.Create(damaged.data(), static_cast<DWORD>(damaged.size())));
        ExpectInitFailureBox(copy.Path());
    }
    {
        SCOPED_TRACE("no resource 102 (status 4)");
        PatchedSetup copy;
        ASSERT_NO_FATAL_FAILURE(copy.Create(nullptr, 0));
        ExpectInitFailureBox(copy.Path());
    }
    EXPECT_FALSE(UserKeyExists(L"Software\\Orbelune")) << "a failed start-up wrote to the registry";
    EXPECT_FALSE(AppDataFolderExists()) << "a failed start-up created the install folder";
    CleanUserState();
}

TEST(SetupProcess, RunCancelledOnTheFirstPageExitsWithZero)
{
    CleanUserState();
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(L"OrbeluneSetup.exe", path, ARRAYSIZE(path)));
    ChildProcess process;
    ASSERT_TRUE(process.Start(path)) << "CreateProcessW failed with " << GetLastError();
    HWND main = WaitForProcessWindow(process.Handle(), process.Id(), L"#32770", MainWindowTitle);
    ASSERT_NE(main, nullptr) << "the main window of a good setup program";
    EXPECT_EQ(FindProcessWindow(process.Id(), L"#32770", L"Error"), nullptr) << "failure box of a good run";
    EXPECT_TRUE(IsWindowVisible(main));

    // "Cancel" of the license page, as a click would send it.
    HWND cancel = nullptr;
    ChildTexts texts;
    EnumChildWindows(main, CollectChild, reinterpret_cast<LPARAM>(&texts));
    for (HWND button : texts.buttons) {
        WCHAR text[32];
        GetWindowTextW(button, text, ARRAYSIZE(text));
        if (!wcscmp(text, L"Cancel") && IsWindowVisible(GetParent(button)))
            cancel = button;
    }
    ASSERT_NE(cancel, nullptr) << "a visible \"Cancel\" button";
    PostMessageW(GetParent(cancel), WM_COMMAND, MAKEWPARAM(IDC_CANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
    EXPECT_EQ(process.WaitForExit(15000), 0u) << "exit code after Cancel";

    EXPECT_FALSE(UserKeyExists(L"Software\\Orbelune")) << "a cancelled run wrote to the registry";
    EXPECT_FALSE(AppDataFolderExists()) << "a cancelled run created the install folder";
    CleanUserState();
}
