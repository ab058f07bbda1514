#include "layout.h"

#include <string.h>

#include <map>

#include <gtest/gtest.h>

const WCHAR *const ProgramNames[8] = {L"Vantok",     L"Brindlecap", L"Ostravelind", L"Zafrin",
                                      L"Kestrefond", L"Quillmarsh", L"Cryvane",     L"Drumlake"};

namespace {

const WCHAR UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orbelune";

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

}  // namespace

ExpectedValue Sz(const std::wstring &key, const WCHAR *name, const std::wstring &text, DWORD bytes)
{
    return {key, name, REG_SZ, text, 0, bytes};
}
ExpectedValue Computed(const std::wstring &key, const WCHAR *name, const std::wstring &text)
{
    return {key, name, REG_SZ, text, 0, static_cast<DWORD>((text.size() + 1) * 2)};
}
ExpectedValue Dword(const std::wstring &key, const WCHAR *name, DWORD number)
{
    return {key, name, REG_DWORD, L"", number, 4};
}

std::vector<ExpectedValue> ExpectedLayout(const std::wstring &dir, UINT32 mask, DWORD estimatedKiB,
                                          bool uninstallEntry)
{
    auto exe = [&](int k) { return dir + ProgramNames[k] + L".exe"; };
    auto command = [&](int k) { return L"\"" + exe(k) + L"\" \"%1\""; };
    std::vector<ExpectedValue> rows;
    if (mask & (1u << 4)) {
        const std::wstring directory = L"Software\\Classes\\Directory\\shell\\Kestrefond";
        const std::wstring audio = L"Software\\Classes\\SystemFileAssociations\\audio\\shell\\Kestrefond";
        rows.push_back(Sz(directory, nullptr, L"Play with Kestrefond", 42));
        rows.push_back(Computed(directory + L"\\command", nullptr, command(4)));
        rows.push_back(Sz(audio, nullptr, L"Play with Kestrefond", 42));
        rows.push_back(Computed(audio + L"\\command", nullptr, command(4)));
    }
    const struct {
        int k;
        const WCHAR *extension, *typeName;
        DWORD typeBytes;
        const WCHAR *description;
        DWORD descriptionBytes;
    } types[] = {
        {5, L".qtxt", L"Quillmarsh.Document", 40, L"Quillmarsh Document", 40},
        {6, L".cvx", L"Cryvane.File", 26, L"CVX Encrypted File", 38},
        {7, L".dmk", L"Drumlake.File", 28, L"Drumlake Archive", 34},
    };
    for (const auto &type : types) {
        if (!(mask & (1u << type.k)))
            continue;
        const std::wstring classes = L"Software\\Classes\\";
        const std::wstring typeKey = classes + type.typeName;
        rows.push_back(Sz(classes + type.extension, nullptr, type.typeName, type.typeBytes));
        rows.push_back(Sz(typeKey, nullptr, type.description, type.descriptionBytes));
        rows.push_back(Computed(typeKey + L"\\DefaultIcon", nullptr, exe(type.k) + L",0"));
        rows.push_back(Sz(typeKey + L"\\shell", nullptr, L"open", 10));
        rows.push_back(Computed(typeKey + L"\\shell\\open\\command", nullptr, command(type.k)));
    }
    rows.push_back(Computed(L"Software\\Orbelune", L"AppPath", dir));
    if (!uninstallEntry)
        return rows;
    const std::wstring uninstaller = dir + L"uninstall.exe";
    rows.push_back(Computed(UninstallKey, L"DisplayIcon", uninstaller + L",0"));
    rows.push_back(Sz(UninstallKey, L"DisplayName", L"Orbelune App Pack (Single User)", 64));
    rows.push_back(Sz(UninstallKey, L"DisplayVersion", L"2610", 10));
    rows.push_back(Sz(UninstallKey, L"Publisher", L"Orbelune", 18));
    rows.push_back(Computed(UninstallKey, L"UninstallString", L"\"" + uninstaller + L"\""));
    rows.push_back(Dword(UninstallKey, L"EstimatedSize", estimatedKiB));
    rows.push_back(Dword(UninstallKey, L"NoModify", 1));
    rows.push_back(Dword(UninstallKey, L"NoRepair", 1));
    return rows;
}

void ExpectRegistry(const std::vector<ExpectedValue> &rows)
{
    std::map<std::wstring, DWORD> valuesPerKey;
    for (const ExpectedValue &row : rows) {
        valuesPerKey[row.key]++;
        SCOPED_TRACE(Narrow(row.key) + " : " + (row.name ? Narrow(row.name) : "(default)"));
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, row.key.c_str(), 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS)
            << "key missing";
        BYTE data[1024];
        DWORD type = 0, bytes = sizeof(data);
        LONG result = RegQueryValueExW(key, row.name, nullptr, &type, data, &bytes);
        RegCloseKey(key);
        ASSERT_EQ(result, ERROR_SUCCESS) << "value missing";
        EXPECT_EQ(type, row.type) << "type";
        EXPECT_EQ(bytes, row.bytes) << "byte length";
        if (row.type == REG_DWORD) {
            DWORD number = 0;
            memcpy(&number, data, sizeof(number));
            EXPECT_EQ(number, row.number) << "number";
        } else if (bytes == row.bytes) {
            std::wstring actual(reinterpret_cast<const WCHAR *>(data), bytes / 2 - 1);
            EXPECT_EQ(actual, row.text) << "text " << Narrow(actual);
            EXPECT_EQ(reinterpret_cast<const WCHAR *>(data)[bytes / 2 - 1], 0) << "terminator counted";
        }
    }
    for (const auto &entry : valuesPerKey) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, entry.first.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        DWORD count = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                         nullptr);
        RegCloseKey(key);
        EXPECT_EQ(count, entry.second) << "number of values in " << Narrow(entry.first);
    }
}

UINT32 RequiredBytes(const SetupState &state, UINT32 mask)
{
    UINT32 sum = 0;
    for (int k = 0; k < 8; k++)
        if (mask & (1u << k))
            sum += state.entries[k + 1].size;
    return sum + state.entries[10].size;
}
