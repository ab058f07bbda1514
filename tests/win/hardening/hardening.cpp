#include "hardening.h"

#include <commctrl.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "resource.h"

const WCHAR *const ComponentFileNames[8] = {L"Vantok",     L"Brindlecap", L"Ostravelind", L"Zafrin",
                                            L"Kestrefond", L"Quillmarsh", L"Cryvane",     L"Drumlake"};
const WCHAR *const ShippedPrograms[11] = {
    L"OrbeluneSetup.exe",          L"payload\\Vantok.exe",     L"payload\\Brindlecap.exe",
    L"payload\\Ostravelind.exe",   L"payload\\Zafrin.exe",     L"payload\\Kestrefond.exe",
    L"payload\\Quillmarsh.exe",    L"payload\\Cryvane.exe",    L"payload\\Drumlake.exe",
    L"payload\\uninstall.exe",     L"payload\\UninstallAdmin.exe",
};
const char InstallSucceeded[] = "Installation completed successfully.";
const char InstallFailed[] = "Installation failed.";
const WCHAR WriteFailedLine[] = L"ERROR: Write failed.";

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (WCHAR c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ProductFolder(int csidl)
{
    WCHAR path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return std::wstring(path) + L"\\Orbelune\\";
}

std::vector<std::wstring> CleanRunLines(const std::wstring &dir, const std::wstring &links, UINT32 mask, bool shortcuts)
{
    std::vector<std::wstring> lines;
    for (int k = 0; k < 8; k++) {
        if (!(mask & (1u << k)))
            continue;
        lines.push_back(dir + ComponentFileNames[k] + L".exe");
        if (shortcuts)
            lines.push_back(links + ComponentFileNames[k] + L".lnk");
    }
    lines.push_back(dir + L"uninstall.exe");
    return lines;
}

std::wstring ReadUserText(const WCHAR *key, const WCHAR *name)
{
    WCHAR text[512] = L"";
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    HKEY handle;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return L"";
    DWORD type = 0;
    LONG result = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &bytes);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS && type == REG_SZ ? text : L"";
}

void GoToDirectoryPage(InProcessSetup &setup, UINT32 mask, bool shortcuts)
{
    ASSERT_TRUE(setup.Start()) << "setup start";
    Click(setup.Control(LicensePage, IDC_FORWARD));
    ASSERT_EQ(setup.State().currentPage, ComponentsPage) << "after I Agree";
    for (int k = 0; k < 8; k++)
        CheckDlgButton(setup.Page(ComponentsPage), IDC_FIRST_COMPONENT + k,
                       (mask & (1u << k)) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(setup.Page(ComponentsPage), IDC_SHORTCUTS, shortcuts ? BST_CHECKED : BST_UNCHECKED);
    Click(setup.Control(ComponentsPage, IDC_FORWARD));
    ASSERT_EQ(setup.State().currentPage, DirectoryPage) << "after Next";
    ASSERT_TRUE(IsWindowEnabled(setup.Control(DirectoryPage, IDC_FORWARD))) << "Install enabled";
}

void RunInstallation(InProcessSetup &setup, const std::function<void(int step)> &afterStep)
{
    SetupState &state = setup.State();
    SendMessageW(setup.Control(DirectoryPage, IDC_FORWARD), BM_CLICK, 0, 0);
    ASSERT_EQ(state.phase, Installing) << "phase once Install is pressed";
    int steps = PumpInstallSteps(15000, afterStep);
    ASSERT_EQ(state.phase, Finished) << "installation did not finish in 15 s";
    EXPECT_EQ(steps, 9) << "one tick per step";
}

RecordGuard::RecordGuard(const SetupState &state)
    : shortcutDir_(state.shortcutDir), payload_(state.payload), requiredBytes_(state.requiredBytes)
{
    memcpy(browseDir_, state.browseDir, sizeof(browseDir_));
    memcpy(entries_, state.entries, sizeof(entries_));
    memcpy(componentNames_, state.componentNames, sizeof(componentNames_));
}

void RecordGuard::Expect(const SetupState &state, const char *when) const
{
    SCOPED_TRACE(when);
    EXPECT_EQ(std::wstring(state.shortcutDir), shortcutDir_) << "shortcutDir holds its folder";
    EXPECT_EQ(memcmp(state.browseDir, browseDir_, sizeof(browseDir_)), 0) << "browseDir untouched";
    EXPECT_EQ(memcmp(state.entries, entries_, sizeof(entries_)), 0) << "index untouched";
    EXPECT_EQ(memcmp(&state.payload, &payload_, sizeof(payload_)), 0) << "payload buffer record untouched";
    EXPECT_EQ(memcmp(state.componentNames, componentNames_, sizeof(componentNames_)), 0) << "component names";
    EXPECT_EQ(state.requiredBytes, requiredBytes_) << "requiredBytes untouched";
}
