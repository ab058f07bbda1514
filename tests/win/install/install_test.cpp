// Whole installations driven through the wizard in the test process, and the
// final step run on its own: files, shortcuts, the details list, the status
// line, the progress bar, and the registry layout read back value by value.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install.h"
#include "layout.h"
#include "resource.h"
#include "winutil.h"

namespace {

const auto &Names = ProgramNames;
const UINT32 AllComponents = 0xFF;
const char Succeeded[] = "Installation completed successfully.";
const char Failed[] = "Installation failed.";
const WCHAR WriteFailed[] = L"ERROR: Write failed.";
const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

// Paths compare without regard to case, as the file system does.
std::wstring Folded(std::wstring path)
{
    CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

ULONGLONG Ticks(const FILETIME &time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The product folder below a shell folder, with its trailing backslash.
std::wstring ProductFolder(int csidl)
{
    WCHAR path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return std::wstring(path) + L"\\Orbelune\\";
}

// --- registry ---------------------------------------------------------------

bool KeyExists(const std::wstring &key)
{
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

bool SetDefaultText(const std::wstring &key, const WCHAR *text)
{
    HKEY handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                                 static_cast<DWORD>((wcslen(text) + 1) * 2));
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

// --- icons ------------------------------------------------------------------

// "file,index" resolved as the shell resolves an icon string: the file
// carries icons, and the one at index loads large and small.
void ExpectIconAt(const std::wstring &file, int index)
{
    SCOPED_TRACE(Narrow(file) + "," + std::to_string(index));
    EXPECT_GE(ExtractIconExW(file.c_str(), -1, nullptr, nullptr, 0), 1u) << "no icon in the file";
    HICON large = nullptr, small = nullptr;
    ExtractIconExW(file.c_str(), index, &large, &small, 1);
    EXPECT_NE(large, nullptr) << "large icon";
    EXPECT_NE(small, nullptr) << "small icon";
    if (large)
        DestroyIcon(large);
    if (small)
        DestroyIcon(small);
}

// An icon string as the registry holds it: the path, a comma, the index.
void ExpectIconString(const std::wstring &key, const WCHAR *name)
{
    WCHAR text[MAX_PATH + 16] = L"";
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &bytes),
              ERROR_SUCCESS)
        << Narrow(key);
    std::wstring location(text);
    size_t comma = location.rfind(L',');
    ASSERT_NE(comma, std::wstring::npos) << Narrow(location);
    ExpectIconAt(location.substr(0, comma), _wtoi(location.c_str() + comma + 1));
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

// The file's first icon group holds 16, 32 and 48 px images as 32-bit
// bitmaps and a 256 px PNG that loads at its size. Returns the 48 px image's
// bytes, so that icons can be told apart.
std::string IconImages(const std::wstring &file)
{
    SCOPED_TRACE(Narrow(file));
    std::string image48;
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(module, nullptr);
    if (!module)
        return image48;
    HRSRC groupInfo = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    const BYTE *group = groupInfo ? static_cast<const BYTE *>(LockResource(LoadResource(module, groupInfo))) : nullptr;
    EXPECT_NE(group, nullptr) << "icon group 1";
    WORD count = group ? *reinterpret_cast<const WORD *>(group + 4) : 0;
    std::vector<int> sides;
    for (WORD i = 0; i < count; i++) {
        IconGroupEntry entry;
        memcpy(&entry, group + 6 + i * sizeof(entry), sizeof(entry));
        int side = entry.width ? entry.width : 256;
        sides.push_back(side);
        SCOPED_TRACE(testing::Message() << side << " px");
        EXPECT_EQ(entry.bitCount, 32) << "bits per pixel";
        HRSRC imageInfo = FindResourceW(module, MAKEINTRESOURCEW(entry.id), RT_ICON);
        const BYTE *image = imageInfo ? static_cast<const BYTE *>(LockResource(LoadResource(module, imageInfo))) : nullptr;
        EXPECT_NE(image, nullptr) << "image " << entry.id;
        if (!image)
            continue;
        DWORD bytes = SizeofResource(module, imageInfo);
        bool png = bytes > 8 && !memcmp(image, "\x89PNG\r\n\x1a\n", 8);
        EXPECT_EQ(png, side == 256) << "only the 256 px image is PNG-compressed";
        if (side == 48)
            image48.assign(reinterpret_cast<const char *>(image), bytes);
        HICON icon = CreateIconFromResourceEx(const_cast<BYTE *>(image), bytes, TRUE, 0x00030000, side, side, 0);
        EXPECT_NE(icon, nullptr) << "the image loads";
        ICONINFO info = {};
        BITMAP bitmap = {};
        if (icon && GetIconInfo(icon, &info)) {
            GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
            EXPECT_EQ(bitmap.bmWidth, side) << "width once loaded";
            if (info.hbmColor)
                DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
        }
        if (icon)
            DestroyIcon(icon);
    }
    EXPECT_EQ(sides, (std::vector<int>{16, 32, 48, 256})) << "image sizes";
    FreeLibrary(module);
    return image48;
}

// Every installed program and the uninstaller carry an icon of their own;
// the links, the file types and the uninstall entry point at real icons.
void ExpectInstalledIcons(const std::wstring &dir, const std::wstring &links)
{
    std::set<std::string> distinct;
    for (const WCHAR *name : Names) {
        std::wstring exe = dir + name + L".exe";
        ExpectIconAt(exe, 0);
        distinct.insert(IconImages(exe));
        // The link carries no icon location of its own: the shell shows its
        // target's first icon.
        std::wstring link = links + name + L".lnk";
        ExpectIconAt(LinkTarget(link), 0);
    }
    ExpectIconAt(dir + L"uninstall.exe", 0);
    distinct.insert(IconImages(dir + L"uninstall.exe"));
    EXPECT_EQ(distinct.size(), 9u) << "nine different icons";

    ExpectIconString(UninstallKey, L"DisplayIcon");
    for (const WCHAR *type : {L"Quillmarsh.Document", L"Cryvane.File", L"Drumlake.File"})
        ExpectIconString(std::wstring(L"Software\\Classes\\") + type + L"\\DefaultIcon", nullptr);
}

// --- driving the wizard -------------------------------------------------------

// From LicensePage to DirectoryPage, with the components in mask ticked.
void GoToDirectoryPage(InProcessSetup &setup, UINT32 mask, bool shortcuts)
{
    ASSERT_TRUE(setup.Start()) << "setup start";
    Click(setup.Control(LicensePage, IDC_FORWARD));
    ASSERT_EQ(setup.State().currentPage, ComponentsPage) << "after I Agree";
    for (int k = 0; k < 8; k++) {
        UINT check = (mask & (1u << k)) ? BST_CHECKED : BST_UNCHECKED;
        CheckDlgButton(setup.Page(ComponentsPage), IDC_FIRST_COMPONENT + k, check);
    }
    CheckDlgButton(setup.Page(ComponentsPage), IDC_SHORTCUTS, shortcuts ? BST_CHECKED : BST_UNCHECKED);
    Click(setup.Control(ComponentsPage, IDC_FORWARD));
    ASSERT_EQ(setup.State().currentPage, DirectoryPage) << "after Next";
    ASSERT_TRUE(IsWindowEnabled(setup.Control(DirectoryPage, IDC_FORWARD))) << "Install enabled";
}

struct StepSample {
    int position;
    std::string status;
    int associationNotices;  // seen so far
};

// Counts the shell's notifications that file associations changed, as
// Explorer receives them, while it lives.
struct AssociationWatch {
    static int notices;
    static WNDPROC original;
    static LRESULT CALLBACK Count(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        notices += message == WM_APP + 77 && (lParam & SHCNE_ASSOCCHANGED);
        return CallWindowProcW(original, window, message, wParam, lParam);
    }
    HWND window = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ULONG id = Register(window);
    static ULONG Register(HWND window)
    {
        notices = 0;
        LONG_PTR count = reinterpret_cast<LONG_PTR>(Count);
        original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(window, GWLP_WNDPROC, count));
        SHChangeNotifyEntry everything = {nullptr, TRUE};
        return SHChangeNotifyRegister(window, SHCNRF_ShellLevel, SHCNE_ASSOCCHANGED, WM_APP + 77, 1, &everything);
    }
    ~AssociationWatch()
    {
        SHChangeNotifyDeregister(id);
        DestroyWindow(window);
    }
};
int AssociationWatch::notices;
WNDPROC AssociationWatch::original;

// Presses "&Install" and runs the steps to the end, noting the bar and the
// status line after each step. With closeRequests, the window is asked to
// close three ways half-way through.
std::vector<StepSample> PressInstall(InProcessSetup &setup, bool closeRequests = false)
{
    SetupState &state = setup.State();
    std::vector<StepSample> samples;
    EXPECT_EQ(BarPosition(setup), 0) << "bar before Install";
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    SendMessageW(setup.Control(DirectoryPage, IDC_FORWARD), BM_CLICK, 0, 0);
    EXPECT_EQ(state.phase, Installing) << "phase once Install is pressed";
    bool closed = false;
    PumpInstallSteps(10000, [&](int step) {
        samples.push_back({BarPosition(setup), StatusText(setup), AssociationWatch::notices});
        if (closed && step == 4) {
            // The posted Escape came before this step's tick.
            EXPECT_TRUE(IsWindow(state.mainWindow)) << "window closed while installing";
            EXPECT_EQ(state.phase, Installing) << "close request during the steps";
        }
        if (closeRequests && step == 3) {
            closed = true;
            SendMessageW(state.mainWindow, WM_CLOSE, 0, 0);
            SendMessageW(setup.Control(ProgressPage, IDC_FORWARD), BM_CLICK, 0, 0);  // "&Close"
            PostMessageW(setup.Page(ProgressPage), WM_KEYDOWN, VK_ESCAPE, 0);
        }
    });
    QueryPerformanceCounter(&end);
    EXPECT_EQ(state.phase, Finished) << "installation did not finish in 10 s";
    if (closeRequests)
        EXPECT_TRUE(closed) << "close requests were not sent";
    printf("[  TIME    ] Install pressed to final status: %.0f ms\n",
           double(end.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart));
    return samples;
}

void ExpectSamples(const std::vector<StepSample> &samples, const std::vector<std::string> &statuses)
{
    const int positions[9] = {11, 22, 33, 44, 55, 66, 77, 88, 100};
    ASSERT_EQ(samples.size(), 9u) << "one bar move per step";
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(samples[i].position, positions[i]) << "bar after step " << i;
        EXPECT_EQ(samples[i].status, statuses[i]) << "status after step " << i;
    }
}

// Lines of a run in which nothing fails.
std::vector<std::wstring> CleanRunLines(const std::wstring &dir, const std::wstring &links, UINT32 mask, bool shortcuts)
{
    std::vector<std::wstring> lines;
    for (int k = 0; k < 8; k++) {
        if (!(mask & (1u << k)))
            continue;
        lines.push_back(dir + Names[k] + L".exe");
        if (shortcuts)
            lines.push_back(links + Names[k] + L".lnk");
    }
    lines.push_back(dir + L"uninstall.exe");
    return lines;
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CleanUserState();
        appData = ProductFolder(CSIDL_APPDATA);
        startMenu = ProductFolder(CSIDL_PROGRAMS);
        ASSERT_FALSE(Exists(appData)) << "left over from an earlier run";
    }
    void TearDown() override { CleanUserState(); }
    std::wstring appData, startMenu;  // the default folders, with their backslashes
};

TEST_F(InstallTest, WholeInstallationWithEverythingTicked)
{
    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, true));
    SetupState &state = setup.State();
    ASSERT_EQ(std::wstring(state.installDir), appData) << "default install folder";

    AssociationWatch watch;
    ASSERT_NE(watch.id, 0u) << "SHChangeNotifyRegister";
    std::vector<StepSample> samples = PressInstall(setup, true);
    std::vector<std::string> statuses;
    for (const WCHAR *name : Names)
        statuses.push_back(Narrow(name));
    statuses.push_back(Succeeded);
    ExpectSamples(samples, statuses);
    // The shell hears once, at the end, that file types and verbs changed.
    for (size_t i = 0; i < samples.size(); i++)
        EXPECT_EQ(samples[i].associationNotices, i == 8 ? 1 : 0) << "association notices after step " << i;

    EXPECT_EQ(StatusText(setup), Succeeded) << "final status";
    EXPECT_EQ(BarPosition(setup), 100) << "bar at the end";
    EXPECT_EQ(state.failureCount, 0u);
    EXPECT_EQ(std::wstring(state.installDir), appData) << "installDir holds its folder again";
    EXPECT_EQ(std::wstring(state.shortcutDir), startMenu) << "shortcutDir holds its folder again";
    ExpectLines(DetailLines(setup), CleanRunLines(appData, startMenu, AllComponents, true));

    for (UINT32 k = 0; k < 8; k++) {
        std::wstring exe = appData + Names[k] + L".exe";
        ExpectEntryFile(setup, exe, k + 1, true);
        EXPECT_EQ(Folded(LinkTarget(startMenu + Names[k] + L".lnk")), Folded(exe)) << "link of component " << k;
    }
    ExpectEntryFile(setup, appData + L"uninstall.exe", 10, false);
    WIN32_FILE_ATTRIBUTE_DATA uninstaller;
    ASSERT_TRUE(GetFileAttributesExW((appData + L"uninstall.exe").c_str(), GetFileExInfoStandard, &uninstaller));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_LT(Ticks(now) - Ticks(uninstaller.ftLastWriteTime), 600000000ull) << "uninstaller: time of writing";
    ExpectInstalledIcons(appData, startMenu);

    // After the last step "&Close" ends the run.
    SendMessageW(setup.Control(ProgressPage, IDC_FORWARD), BM_CLICK, 0, 0);
    EXPECT_FALSE(PumpFor(300)) << "quit message after Close";
    EXPECT_FALSE(IsWindow(state.mainWindow)) << "window destroyed";
    EXPECT_EQ(state.phase, Closing);
}

TEST_F(InstallTest, RegistryLayoutOverwritesEarlierValues)
{
    // Values another program left: the extension names another type.
    ASSERT_TRUE(SetDefaultText(L"Software\\Classes\\.qtxt", L"OtherApp.Document"));
    ASSERT_TRUE(SetDefaultText(L"Software\\Classes\\Drumlake.File\\shell", L"edit"));
    ASSERT_TRUE(SetDefaultText(L"Software\\Classes\\Directory\\shell\\Kestrefond", L"Old verb text that is longer"));

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, true));
    PressInstall(setup);
    ASSERT_EQ(StatusText(setup), Succeeded);
    UINT32 required = RequiredBytes(setup.State(), AllComponents);
    EXPECT_EQ(setup.State().requiredBytes, required) << "bytes of all components and the uninstaller";
    ExpectRegistry(ExpectedLayout(appData, AllComponents, required >> 10));
}

TEST_F(InstallTest, WithoutShortcutsNoLinksButRegistrations)
{
    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, false));
    PressInstall(setup);
    EXPECT_EQ(StatusText(setup), Succeeded);
    ExpectLines(DetailLines(setup), CleanRunLines(appData, startMenu, AllComponents, false));
    EXPECT_FALSE(Exists(startMenu)) << "Start-menu folder made without shortcuts";
    for (UINT32 k = 0; k < 8; k++)
        ExpectEntryFile(setup, appData + Names[k] + L".exe", k + 1, true);
    ExpectRegistry(ExpectedLayout(appData, AllComponents, RequiredBytes(setup.State(), AllComponents) >> 10));
}

TEST_F(InstallTest, UntickedComponentsAreSkipped)
{
    const UINT32 mask = AllComponents & ~((1u << 0) | (1u << 4) | (1u << 7));
    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, mask, true));
    std::vector<StepSample> samples = PressInstall(setup);
    // An unticked step leaves the status as it was; the bar still moves.
    ExpectSamples(samples, {"", "Brindlecap", "Ostravelind", "Zafrin", "Zafrin", "Quillmarsh", "Cryvane", "Cryvane",
                            Succeeded});
    ExpectLines(DetailLines(setup), CleanRunLines(appData, startMenu, mask, true));
    for (UINT32 k = 0; k < 8; k++) {
        bool ticked = mask & (1u << k);
        EXPECT_EQ(Exists(appData + Names[k] + L".exe"), ticked) << "executable of component " << k;
        EXPECT_EQ(Exists(startMenu + Names[k] + L".lnk"), ticked) << "link of component " << k;
    }
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Directory\\shell\\Kestrefond")) << "verb of an unticked component";
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond"));
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\.dmk")) << "file type of an unticked component";
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Drumlake.File"));
    UINT32 required = RequiredBytes(setup.State(), mask);
    EXPECT_EQ(setup.State().requiredBytes, required) << "bytes of the ticked components and the uninstaller";
    ExpectRegistry(ExpectedLayout(appData, mask, required >> 10));
}

TEST_F(InstallTest, FailedWritesAreListedAndCounted)
{
    // Folders in the way of two executables, a link and the uninstaller.
    ASSERT_TRUE(EnsureDirectories((appData + L"Zafrin.exe\\").c_str()));
    ASSERT_TRUE(EnsureDirectories((appData + L"Cryvane.exe\\").c_str()));
    ASSERT_TRUE(EnsureDirectories((appData + L"uninstall.exe\\").c_str()));
    ASSERT_TRUE(EnsureDirectories((startMenu + L"Quillmarsh.lnk\\").c_str()));

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, true));
    std::vector<StepSample> samples = PressInstall(setup);
    ASSERT_EQ(samples.size(), 9u);
    EXPECT_EQ(samples[8].position, 100);
    EXPECT_EQ(StatusText(setup), Failed) << "final status";
    EXPECT_EQ(setup.State().failureCount, 4u) << "two executables, a link, the uninstaller";
    EXPECT_EQ(setup.State().phase, Finished);

    // A failure line follows the path that it concerns.
    std::vector<std::wstring> expected;
    for (int k = 0; k < 8; k++) {
        expected.push_back(appData + Names[k] + L".exe");
        if (k == 3 || k == 6) {
            expected.push_back(WriteFailed);
            continue;
        }
        expected.push_back(startMenu + Names[k] + L".lnk");
        if (k == 5)
            expected.push_back(WriteFailed);
    }
    expected.push_back(appData + L"uninstall.exe");
    expected.push_back(WriteFailed);
    ExpectLines(DetailLines(setup), expected);

    EXPECT_FALSE(Exists(startMenu + L"Zafrin.lnk")) << "no link for a failed executable";
    EXPECT_FALSE(Exists(startMenu + L"Cryvane.lnk")) << "no link for a failed executable";
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\.cvx")) << "no file type for a failed executable";
    EXPECT_FALSE(KeyExists(L"Software\\Classes\\Cryvane.File"));
    EXPECT_FALSE(KeyExists(UninstallKey)) << "no uninstall entry without the uninstaller";
    ExpectEntryFile(setup, appData + L"Ostravelind.exe", 3, true);
    ExpectEntryFile(setup, appData + L"Quillmarsh.exe", 6, true);
    ExpectEntryFile(setup, appData + L"Drumlake.exe", 8, true);
    // A failed link keeps its component's file type; "AppPath" comes before the uninstaller.
    DWORD estimated = RequiredBytes(setup.State(), AllComponents) >> 10;
    ExpectRegistry(ExpectedLayout(appData, AllComponents & ~(1u << 6), estimated, false));
}

// Registry writes that fail for real: the uninstall entry's key denies
// Everyone KEY_SET_VALUE (Wine enforces a key's DACL), and Cryvane's type key
// is volatile, below which no lasting key can be made. Each step with a
// failed write gets one failure line after its paths, and the run fails.
TEST_F(InstallTest, FailedRegistryWritesAreListedAndCounted)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, UninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    SID everyone = {SID_REVISION, 1, {SECURITY_WORLD_SID_AUTHORITY}, {SECURITY_WORLD_RID}};
    BYTE aclBytes[128];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeAcl(acl, sizeof(aclBytes), ACL_REVISION) &&
                AddAccessDeniedAce(acl, ACL_REVISION, KEY_SET_VALUE, &everyone) &&
                AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, &everyone) &&
                InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes\\Cryvane.File", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    InProcessSetup setup;
    ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, true));
    PressInstall(setup);
    EXPECT_EQ(StatusText(setup), Failed) << "final status";
    EXPECT_EQ(setup.State().failureCount, 2u) << "Cryvane's step and the final step";
    std::vector<std::wstring> expected = CleanRunLines(appData, startMenu, AllComponents, true);
    expected.insert(expected.begin() + 14, WriteFailed);  // after Cryvane's link, the 14th line
    expected.push_back(WriteFailed);                      // after uninstall.exe
    ExpectLines(DetailLines(setup), expected);
    ExpectEntryFile(setup, appData + L"uninstall.exe", 10, false);
    ExpectRegistry(ExpectedLayout(appData, AllComponents & ~(1u << 6), 0, false));
}

TEST_F(InstallTest, ChosenFolderIsUsedAndOfferedNextRun)
{
    WCHAR temp[MAX_PATH];
    ASSERT_TRUE(MakeTempFolder(temp, ARRAYSIZE(temp)));
    const std::wstring chosen = std::wstring(temp) + L"Chosen Apps\\Pack\\";  // not there yet
    {
        InProcessSetup setup;
        ASSERT_NO_FATAL_FAILURE(GoToDirectoryPage(setup, AllComponents, true));
        // What a pick in the folder picker leaves: the folder with one backslash.
        wcscpy(setup.State().installDir, chosen.c_str());
        PressInstall(setup);
        EXPECT_EQ(StatusText(setup), Succeeded);
        ExpectLines(DetailLines(setup), CleanRunLines(chosen, startMenu, AllComponents, true));
        for (UINT32 k = 0; k < 8; k++) {
            ExpectEntryFile(setup, chosen + Names[k] + L".exe", k + 1, true);
            EXPECT_EQ(Folded(LinkTarget(startMenu + Names[k] + L".lnk")), Folded((chosen + Names[k] + L".exe")));
        }
        ExpectEntryFile(setup, chosen + L"uninstall.exe", 10, false);
        EXPECT_FALSE(Exists(appData)) << "nothing in the default folder";
        ExpectRegistry(ExpectedLayout(chosen, AllComponents, RequiredBytes(setup.State(), AllComponents) >> 10));
    }
    {
        InProcessSetup again;
        ASSERT_TRUE(again.Prepare());
        EXPECT_EQ(std::wstring(again.State().installDir), chosen) << "second run offers the recorded folder";
        EXPECT_EQ(std::wstring(again.State().browseDir), chosen) << "picker starts at the recorded folder";
    }
    DeleteTree(temp);
}

// The final step run on its own, after the wizard has been set up.
TEST_F(InstallTest, FinalStepWithNothingRequiredWritesNothing)
{
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    SetupState &state = setup.State();
    state.requiredBytes = 0;
    AssociationWatch watch;
    RunInstallStep(8);
    PumpFor(0);
    EXPECT_EQ(AssociationWatch::notices, 0) << "nothing registered, nothing to tell the shell";
    EXPECT_EQ(state.phase, Finished);
    EXPECT_EQ(state.pendingStep, 0u);
    EXPECT_EQ(StatusText(setup), Succeeded) << "status with nothing required";
    EXPECT_EQ(BarPosition(setup), 100);
    EXPECT_TRUE(DetailLines(setup).empty()) << "no details line";
    EXPECT_FALSE(KeyExists(L"Software\\Orbelune")) << "no AppPath";
    EXPECT_FALSE(KeyExists(UninstallKey)) << "no uninstall entry";
    EXPECT_FALSE(Exists(appData + L"uninstall.exe")) << "no uninstaller";
    EXPECT_EQ(std::wstring(state.installDir), appData);
}

TEST_F(InstallTest, FinalStepRoundsTheEstimatedSizeDown)
{
    InProcessSetup setup;
    ASSERT_TRUE(setup.Start());
    SetupState &state = setup.State();
    ASSERT_TRUE(EnsureDirectories(state.installDir));
    state.requiredBytes = 1048575;
    RunInstallStep(8);
    EXPECT_EQ(StatusText(setup), Succeeded);
    ExpectLines(DetailLines(setup), {appData + L"uninstall.exe"});
    ExpectEntryFile(setup, appData + L"uninstall.exe", 10, false);
    ExpectRegistry(ExpectedLayout(appData, 0, 1023));
    EXPECT_EQ(std::wstring(state.installDir), appData) << "installDir holds its folder again";
}

// The registry writer on a throwaway key of its own.
TEST(WriteRegistryValue, CreatesMissingKeysAndFailsOnAnUncreatableKey)
{
    const WCHAR root[] = L"Software\\OrbeluneInstallTests";
    DeleteUserKey(root);
    const std::wstring key = std::wstring(root) + L"\\one\\two\\three";
    const WCHAR text[] = L"value text";
    EXPECT_TRUE(WriteRegistryValue(key.c_str(), nullptr, REG_SZ, text, sizeof(text))) << "missing keys are made";
    DWORD number = 0x12345678;
    EXPECT_TRUE(WriteRegistryValue(key.c_str(), L"Number", REG_DWORD, &number, sizeof(number)));
    ExpectRegistry({Sz(key, nullptr, L"value text", 22), Dword(key, L"Number", 0x12345678)});

    // A key name longer than the registry allows (255 characters) cannot be made.
    const std::wstring tooLong = std::wstring(root) + L"\\" + std::wstring(300, L'k');
    EXPECT_FALSE(WriteRegistryValue(tooLong.c_str(), nullptr, REG_SZ, text, sizeof(text))) << "key cannot be made";
    EXPECT_FALSE(KeyExists(tooLong)) << "nothing written";
    DeleteUserKey(root);
}

}  // namespace
