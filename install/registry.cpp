#include "install.h"

bool WriteRegistryValue(const WCHAR *keyPath, const WCHAR *valueName, DWORD type, const void *data,
                        UINT32 bytes)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExW(key, valueName, 0, type, static_cast<const BYTE *>(data), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// Byte length of a fixed REG_SZ text: (characters + 1) * 2.
#define SZ(text) text, sizeof(text)

static const RegistryWrite KestrefondWrites[] = {
    {{L"Classes", L"Directory", L"shell", L"Kestrefond"}, nullptr, REG_SZ, FixedText,
     SZ(L"Play with Kestrefond")},
    {{L"Classes", L"Directory", L"shell", L"Kestrefond", L"command"}, nullptr, REG_SZ, CommandString, nullptr, 0},
    {{L"Classes", L"SystemFileAssociations", L"audio", L"shell", L"Kestrefond"}, nullptr, REG_SZ, FixedText,
     SZ(L"Play with Kestrefond")},
    {{L"Classes", L"SystemFileAssociations", L"audio", L"shell", L"Kestrefond", L"command"}, nullptr, REG_SZ,
     CommandString, nullptr, 0},
};

// The five writes of a file type: extension, type name, icon, verb, command.
#define FILE_TYPE(extension, typeName, description)                                                        \
    {{L"Classes", extension}, nullptr, REG_SZ, FixedText, SZ(typeName)},                                    \
    {{L"Classes", typeName}, nullptr, REG_SZ, FixedText, SZ(description)},                                  \
    {{L"Classes", typeName, L"DefaultIcon"}, nullptr, REG_SZ, IconString, nullptr, 0},                      \
    {{L"Classes", typeName, L"shell"}, nullptr, REG_SZ, FixedText, SZ(L"open")},                            \
    {{L"Classes", typeName, L"shell", L"open", L"command"}, nullptr, REG_SZ, CommandString, nullptr, 0}

static const RegistryWrite QuillmarshWrites[] = {
    FILE_TYPE(L".qtxt", L"Quillmarsh.Document", L"Quillmarsh Document"),
};
static const RegistryWrite CryvaneWrites[] = {
    FILE_TYPE(L".cvx", L"Cryvane.File", L"CVX Encrypted File"),
};
static const RegistryWrite DrumlakeWrites[] = {
    FILE_TYPE(L".dmk", L"Drumlake.File", L"Drumlake Archive"),
};

static const RegistryWrite AppPathWrites[] = {
    {{L"Orbelune"}, L"AppPath", REG_SZ, InstallFolder, nullptr, 0},
};

#define UNINSTALL_KEY {L"Microsoft", L"Windows", L"CurrentVersion", L"Uninstall", L"Orbelune"}
static const RegistryWrite UninstallWrites[] = {
    {UNINSTALL_KEY, L"DisplayIcon", REG_SZ, IconString, nullptr, 0},
    {UNINSTALL_KEY, L"DisplayName", REG_SZ, FixedText, SZ(L"Orbelune App Pack (Single User)")},
    {UNINSTALL_KEY, L"DisplayVersion", REG_SZ, FixedText, SZ(L"2610")},
    {UNINSTALL_KEY, L"Publisher", REG_SZ, FixedText, SZ(L"Orbelune")},
    {UNINSTALL_KEY, L"UninstallString", REG_SZ, CommandString, nullptr, 0},
    {UNINSTALL_KEY, L"EstimatedSize", REG_DWORD, EstimatedSizeKiB, nullptr, 4},
    {UNINSTALL_KEY, L"NoModify", REG_DWORD, DwordOne, nullptr, 4},
    {UNINSTALL_KEY, L"NoRepair", REG_DWORD, DwordOne, nullptr, 4},
};

const RegistryGroup ComponentRegistrations[8] = {
    {nullptr, 0},
    {nullptr, 0},
    {nullptr, 0},
    {nullptr, 0},
    {KestrefondWrites, ARRAYSIZE(KestrefondWrites)},
    {QuillmarshWrites, ARRAYSIZE(QuillmarshWrites)},
    {CryvaneWrites, ARRAYSIZE(CryvaneWrites)},
    {DrumlakeWrites, ARRAYSIZE(DrumlakeWrites)},
};
const RegistryGroup InstallFolderRecord = {AppPathWrites, ARRAYSIZE(AppPathWrites)};
const RegistryGroup UninstallEntry = {UninstallWrites, ARRAYSIZE(UninstallWrites)};
