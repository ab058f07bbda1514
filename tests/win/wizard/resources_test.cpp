// The user-interface resources of the built setup program, read back from
// the executable: dialog templates, icon, manifest and version block.
#include <windows.h>

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resource.h"
#include "winutil.h"

namespace {

const WORD EnglishUS = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The built setup program, loaded as data only.
class SetupResources : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(BuildOutputPath(L"OrbeluneSetup.exe", path, ARRAYSIZE(path)));
        module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "LoadLibraryExW failed with " << GetLastError();
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }

    // The bytes of a resource in U.S. English; null when it is missing.
    const BYTE *Resource(const WCHAR *type, WORD id, DWORD *size)
    {
        HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), EnglishUS);
        if (!found)
            return nullptr;
        HGLOBAL loaded = LoadResource(module, found);
        *size = SizeofResource(module, found);
        return loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
    }

    WCHAR path[MAX_PATH];
    HMODULE module = nullptr;
};

// A reader of a dialog template: WORD-aligned fields and strings.
struct TemplateReader {
    const BYTE *start;
    const BYTE *p;
    const BYTE *end;
    bool overrun = false;

    TemplateReader(const BYTE *bytes, DWORD size) : start(bytes), p(bytes), end(bytes + size) {}

    template <typename T> T Read()
    {
        T value = T();
        if (p + sizeof(T) > end) {
            overrun = true;
            return value;
        }
        memcpy(&value, p, sizeof(T));
        p += sizeof(T);
        return value;
    }
    std::wstring String()
    {
        std::wstring text;
        for (WCHAR c = Read<WCHAR>(); c && !overrun; c = Read<WCHAR>())
            text += c;
        return text;
    }
    // A name or an ordinal; an ordinal comes back as "#<n>".
    std::wstring NameOrOrdinal()
    {
        if (p + 2 <= end && p[0] == 0xFF && p[1] == 0xFF) {
            p += 2;
            return L"#" + std::to_wstring(Read<WORD>());
        }
        return String();
    }
    void AlignDword()
    {
        while ((p - start) % 4)
            p++;
    }
};

struct ExpectedControl {
    DWORD id;
    const WCHAR *windowClass;  // "#<ordinal>" for the predefined classes
    const WCHAR *text;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
};

// Predefined classes are stored by ordinal: 0x80 Button, 0x81 Edit,
// 0x82 Static, 0x83 ListBox.
const WCHAR ButtonClass[] = L"#128";
const WCHAR EditClass[] = L"#129";
const WCHAR StaticClass[] = L"#130";
const WCHAR ListBoxClass[] = L"#131";
// Every page begins with the icon control: id -1, showing icon 101.
const ExpectedControl IconControl = {0xFFFFFFFF, StaticClass, L"#101", 0x50000043, 0, 8, 8, 21, 20};

const ExpectedControl LicenseControls[] = {
    IconControl,
    {1, ButtonClass, L"", 0x50010001, 0, 223, 141, 50, 14},
    {2, ButtonClass, L"", 0x50010000, 0, 7, 141, 50, 14},
    {1004, EditClass, L"", 0x50800804, 0, 7, 33, 266, 101},
    {1000, StaticClass, L"", 0x50020000, 0, 37, 8, 236, 18},
};

const ExpectedControl ComponentsControls[] = {
    IconControl,
    {1, ButtonClass, L"", 0x50010001, 0, 223, 141, 50, 14},
    {1006, ButtonClass, L"", 0x50010003, 0, 26, 45, 60, 10},
    {1007, ButtonClass, L"", 0x50010003, 0, 111, 45, 60, 10},
    {1008, ButtonClass, L"", 0x50010003, 0, 198, 45, 60, 10},
    {1009, ButtonClass, L"", 0x50010003, 0, 26, 62, 60, 10},
    {1010, ButtonClass, L"", 0x50010003, 0, 111, 62, 60, 10},
    {1011, ButtonClass, L"", 0x50010003, 0, 198, 62, 60, 10},
    {1012, ButtonClass, L"", 0x50010003, 0, 26, 79, 60, 10},
    {1013, ButtonClass, L"", 0x50010003, 0, 111, 79, 60, 10},
    {1014, ButtonClass, L"", 0x48010003, 0, 198, 79, 60, 10},
    {1015, ButtonClass, L"", 0x50010003, 0, 26, 115, 96, 10},
    {2, ButtonClass, L"", 0x50010000, 0, 7, 141, 50, 14},
    {3, ButtonClass, L"", 0x50010000, 0, 170, 141, 50, 14},
    {1001, StaticClass, L"", 0x50020000, 0, 37, 8, 236, 18},
};

const ExpectedControl DirectoryControls[] = {
    IconControl,
    {1, ButtonClass, L"", 0x50010001, 0, 223, 141, 50, 14},
    {4, ButtonClass, L"", 0x50010000, 0, 217, 54, 50, 14},
    {2, ButtonClass, L"", 0x50010000, 0, 7, 141, 50, 14},
    {3, ButtonClass, L"", 0x50010000, 0, 170, 141, 50, 14},
    {1016, ButtonClass, L"", 0x50000007, 0, 7, 44, 266, 31},
    {1005, EditClass, L"", 0x50000880, 0, 13, 57, 199, 12},
    {1002, StaticClass, L"", 0x50020000, 0, 37, 6, 236, 25},
    {1018, StaticClass, L"", 0x50020000, 0, 13, 88, 121, 9},
    {1017, StaticClass, L"", 0x50020000, 0, 13, 100, 121, 9},
};

const ExpectedControl ProgressControls[] = {
    IconControl,
    {1, ButtonClass, L"", 0x50010001, 0, 223, 141, 50, 14},
    {5, ButtonClass, L"", 0x50010000, 0, 7, 32, 50, 14},
    {1019, ListBoxClass, L"", 0x40310101, 0x00020000, 7, 32, 266, 103},
    {1003, StaticClass, L"", 0x50020000, 0, 37, 8, 236, 9},
    {1020, L"msctls_progress32", L"Progress1", 0x50800000, 0, 37, 18, 236, 6},
};

struct ExpectedDialog {
    WORD id;
    DWORD style;
    const ExpectedControl *controls;
    size_t count;
};

const ExpectedDialog Dialogs[] = {
    {IDD_MAIN, 0x00CA0040, nullptr, 0},
    {IDD_LICENSE, 0x40000040, LicenseControls, ARRAYSIZE(LicenseControls)},
    {IDD_COMPONENTS, 0x40000040, ComponentsControls, ARRAYSIZE(ComponentsControls)},
    {IDD_DIRECTORY, 0x40000040, DirectoryControls, ARRAYSIZE(DirectoryControls)},
    {IDD_PROGRESS, 0x40000040, ProgressControls, ARRAYSIZE(ProgressControls)},
};

void CheckDialogTemplate(const ExpectedDialog &expected, const BYTE *bytes, DWORD size)
{
    TemplateReader in(bytes, size);
    EXPECT_EQ(in.Read<WORD>(), 1) << "dlgVer: an extended template";
    EXPECT_EQ(in.Read<WORD>(), 0xFFFF) << "signature";
    EXPECT_EQ(in.Read<DWORD>(), 0u) << "help id";
    EXPECT_EQ(in.Read<DWORD>(), 0u) << "extended style";
    EXPECT_EQ(in.Read<DWORD>(), expected.style) << "style";
    WORD count = in.Read<WORD>();
    EXPECT_EQ(count, expected.count) << "number of controls";
    EXPECT_EQ(in.Read<short>(), 0) << "x";
    EXPECT_EQ(in.Read<short>(), 0) << "y";
    EXPECT_EQ(in.Read<short>(), 280) << "width";
    EXPECT_EQ(in.Read<short>(), 162) << "height";
    EXPECT_EQ(in.NameOrOrdinal(), L"") << "no menu";
    EXPECT_EQ(in.NameOrOrdinal(), L"") << "the default dialog class";
    EXPECT_EQ(in.String(), L"") << "empty caption";
    EXPECT_EQ(in.Read<WORD>(), 11) << "point size";
    EXPECT_EQ(in.Read<WORD>(), 400) << "weight";
    EXPECT_EQ(in.Read<BYTE>(), 0) << "italic";
    EXPECT_EQ(in.Read<BYTE>(), 0) << "character set";
    EXPECT_EQ(in.String(), L"Calibri") << "typeface";
    ASSERT_FALSE(in.overrun);

    for (size_t i = 0; i < count && i < expected.count; i++) {
        const ExpectedControl &c = expected.controls[i];
        SCOPED_TRACE(testing::Message() << "control " << i << ", id " << static_cast<int>(c.id));
        in.AlignDword();
        EXPECT_EQ(in.Read<DWORD>(), 0u) << "help id";
        EXPECT_EQ(in.Read<DWORD>(), c.exStyle) << "extended style";
        EXPECT_EQ(in.Read<DWORD>(), c.style) << "style";
        EXPECT_EQ(in.Read<short>(), c.x) << "x";
        EXPECT_EQ(in.Read<short>(), c.y) << "y";
        EXPECT_EQ(in.Read<short>(), c.cx) << "width";
        EXPECT_EQ(in.Read<short>(), c.cy) << "height";
        EXPECT_EQ(in.Read<DWORD>(), c.id) << "id";
        std::wstring windowClass = in.NameOrOrdinal();
        if (c.windowClass[0] == L'#') {
            EXPECT_EQ(windowClass, c.windowClass) << "predefined class by ordinal";
        } else {
            // windres stores class names upper-cased; the platform matches
            // class names without regard to case.
            EXPECT_EQ(_wcsicmp(windowClass.c_str(), c.windowClass), 0) << "class " << windowClass.size();
        }
        EXPECT_EQ(in.NameOrOrdinal(), c.text) << "text";
        EXPECT_EQ(in.Read<WORD>(), 0) << "no creation data";
        ASSERT_FALSE(in.overrun);
    }
    EXPECT_LE(static_cast<size_t>(in.end - in.p), 3u) << "nothing after the last control";
}

// One node of a version block: key, value and children.
struct VersionNode {
    std::wstring key;
    const BYTE *value;
    WORD valueLength;
    WORD type;
    const BYTE *children;
    const BYTE *end;
};

bool ReadVersionNode(const BYTE *p, const BYTE *limit, VersionNode *node)
{
    if (p + 6 > limit)
        return false;
    WORD length, valueLength, type;
    memcpy(&length, p, 2);
    memcpy(&valueLength, p + 2, 2);
    memcpy(&type, p + 4, 2);
    if (length < 6 || p + length > limit)
        return false;
    node->end = p + length;
    node->valueLength = valueLength;
    node->type = type;
    node->key.clear();
    const BYTE *q = p + 6;
    for (WCHAR c; q + 2 <= node->end; q += 2) {
        memcpy(&c, q, 2);
        if (!c)
            break;
        node->key += c;
    }
    q += 2;
    while ((q - p) % 4)
        q++;
    node->value = q;
    q += type == 1 ? valueLength * 2 : valueLength;
    while ((q - p) % 4)
        q++;
    node->children = q;
    return true;
}

std::vector<VersionNode> VersionChildren(const VersionNode &parent)
{
    std::vector<VersionNode> children;
    const BYTE *p = parent.children;
    VersionNode node;
    while (p + 6 <= parent.end && ReadVersionNode(p, parent.end, &node)) {
        children.push_back(node);
        p = node.end;
        while ((p - parent.children) % 4 && p < parent.end)
            p++;
    }
    return children;
}

}  // namespace

TEST_F(SetupResources, DialogTemplatesMatchTheirLayout)
{
    for (const ExpectedDialog &expected : Dialogs) {
        SCOPED_TRACE(testing::Message() << "dialog " << expected.id);
        DWORD size = 0;
        const BYTE *bytes = Resource(RT_DIALOG, expected.id, &size);
        ASSERT_NE(bytes, nullptr) << "template in U.S. English";
        CheckDialogTemplate(expected, bytes, size);
    }
}

TEST_F(SetupResources, IconIsOneSixteenPixelMonochromeImage)
{
    DWORD size = 0;
    const BYTE *group = Resource(RT_GROUP_ICON, IDI_APP, &size);
    ASSERT_NE(group, nullptr) << "icon group 101";
    ASSERT_EQ(size, 6u + 14u) << "a header and one entry";
    WORD header[3];
    memcpy(header, group, sizeof(header));
    EXPECT_EQ(header[0], 0) << "reserved";
    EXPECT_EQ(header[1], 1) << "type: icon";
    EXPECT_EQ(header[2], 1) << "one image";
    const BYTE *entry = group + 6;
    EXPECT_EQ(entry[0], 16) << "width";
    EXPECT_EQ(entry[1], 16) << "height";
    EXPECT_EQ(entry[2], 2) << "colours";
    WORD planes, bitCount, imageId;
    DWORD bytesInRes;
    memcpy(&planes, entry + 4, 2);
    memcpy(&bitCount, entry + 6, 2);
    memcpy(&bytesInRes, entry + 8, 4);
    memcpy(&imageId, entry + 12, 2);
    EXPECT_EQ(planes, 1);
    EXPECT_EQ(bitCount, 1);
    EXPECT_EQ(bytesInRes, 176u);

    const BYTE *image = Resource(RT_ICON, imageId, &size);
    ASSERT_NE(image, nullptr) << "the icon image";
    ASSERT_EQ(size, 176u);
    BITMAPINFOHEADER info;
    memcpy(&info, image, sizeof(info));
    EXPECT_EQ(info.biSize, 40u);
    EXPECT_EQ(info.biWidth, 16);
    EXPECT_EQ(info.biHeight, 32) << "the colour image and its mask";
    EXPECT_EQ(info.biBitCount, 1);
    const BYTE *palette = image + 40;
    EXPECT_EQ(palette[0], 0xFF) << "entry 0 blue";
    EXPECT_EQ(palette[1], 0xAB) << "entry 0 green";
    EXPECT_EQ(palette[2], 0x34) << "entry 0 red";
    EXPECT_EQ(palette[4] | palette[5] | palette[6], 0) << "entry 1 black";

    // Rows are 4 bytes: 16 rows of colour indexes, then 16 rows of mask.
    const BYTE *colours = palette + 8, *mask = colours + 64;
    int opaque = 0, transparent = 0;
    for (int row = 0; row < 16; row++) {
        for (int x = 0; x < 16; x++) {
            int bit = 0x80 >> (x % 8);
            if (mask[row * 4 + x / 8] & bit) {
                transparent++;
                continue;
            }
            opaque++;
            EXPECT_EQ(colours[row * 4 + x / 8] & bit, 0) << "opaque pixel " << x << "," << row << " is light blue";
        }
    }
    EXPECT_GT(opaque, 0);
    EXPECT_GT(transparent, 0) << "gaps in the lattice";
}

TEST_F(SetupResources, ManifestAsksForNoElevation)
{
    DWORD size = 0;
    const BYTE *bytes = Resource(MAKEINTRESOURCEW(24), 1, &size);
    ASSERT_NE(bytes, nullptr) << "manifest, type 24 id 1";
    std::string manifest(reinterpret_cast<const char *>(bytes), size);
    const char *const setupParts[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"",
        "<assemblyIdentity type=\"win32\" name=\"Orbelune.SetupSingle\" version=\"1.0.0.0\" "
        "processorArchitecture=\"*\"/>",
        "<description>Orbelune App Pack</description>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" processorArchitecture=\"*\" "
        "publicKeyToken=\"6595b64144ccf1df\" language=\"*\"",
    };
    for (const char *part : setupParts)
        EXPECT_NE(manifest.find(part), std::string::npos) << "manifest lacks " << part;
    // The same in the per-user uninstaller's, whose message boxes are then
    // drawn at the monitor's scale, not stretched.
    const char *const parts[] = {
        // Windows before 10 1607 reads only the first: the system DPI there.
        "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>",
        // Windows 10 1607 knows no PerMonitorV2: the first it knows, System.
        "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, System"
        "</dpiAwareness>",
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
        "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",
        "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",
        "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",
        "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
    };
    WCHAR uninstallerPath[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(L"payload\\uninstall.exe", uninstallerPath, ARRAYSIZE(uninstallerPath)));
    HMODULE uninstaller = LoadLibraryExW(uninstallerPath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(uninstaller, nullptr) << "LoadLibraryExW failed with " << GetLastError();
    HRSRC found = FindResourceW(uninstaller, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found ? LoadResource(uninstaller, found) : nullptr;
    std::string uninstallerManifest;
    if (loaded)
        uninstallerManifest.assign(static_cast<const char *>(LockResource(loaded)), SizeofResource(uninstaller, found));
    FreeLibrary(uninstaller);
    for (const char *part : parts) {
        EXPECT_NE(manifest.find(part), std::string::npos) << "manifest lacks " << part;
        EXPECT_NE(uninstallerManifest.find(part), std::string::npos) << "uninstaller's manifest lacks " << part;
    }
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
    EXPECT_EQ(manifest.find("highestAvailable"), std::string::npos);

    // The loader accepts it and reads the same run level from it.
    ACTCTXW request = {};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path;
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "CreateActCtxW failed with " << GetLastError();
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
    SIZE_T written = 0;
    if (QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level), &written)) {
        EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
        EXPECT_EQ(level.UiAccess, 0u);
    } else {
        ADD_FAILURE() << "run level not readable: " << GetLastError();
    }
    ReleaseActCtx(context);
}

TEST_F(SetupResources, VersionBlockNamesTheProduct)
{
    // Walked by hand, so that the order of the strings shows as stored.
    DWORD size = 0;
    const BYTE *raw = Resource(RT_VERSION, 1, &size);
    ASSERT_NE(raw, nullptr) << "version block, type 16 id 1";
    VersionNode root;
    ASSERT_TRUE(ReadVersionNode(raw, raw + size, &root));
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.valueLength, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, root.value, sizeof(fixed));
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x001A000Au) << "26.10";
    EXPECT_EQ(fixed.dwFileVersionLS, 0u) << ".0.0";
    EXPECT_EQ(fixed.dwProductVersionMS, 0x001A000Au);
    EXPECT_EQ(fixed.dwProductVersionLS, 0u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS | fixed.dwFileDateLS, 0u) << "no date";

    std::vector<VersionNode> tables, vars;
    for (const VersionNode &child : VersionChildren(root)) {
        if (child.key == L"StringFileInfo")
            tables = VersionChildren(child);
        else if (child.key == L"VarFileInfo")
            vars = VersionChildren(child);
    }
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0].key, L"Translation");
    ASSERT_EQ(vars[0].valueLength, 4u) << "one translation";
    WORD translation[2];
    memcpy(translation, vars[0].value, sizeof(translation));
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    ASSERT_EQ(tables.size(), 1u) << "one string table";
    EXPECT_EQ(tables[0].key, L"040904b0");
    struct Entry {
        const WCHAR *key;
        const WCHAR *value;  // null: any non-empty text
    } expected[] = {
        {L"CompanyName", L"Orbelune"},
        {L"FileDescription", L"Orbelune App Pack (Single User)"},
        {L"FileVersion", L"26.10.0.0"},
        {L"LegalCopyright", nullptr},
        {L"ProductName", L"Orbelune App Pack (Single User)"},
        {L"ProductVersion", L"26.10.0.0"},
    };
    std::vector<VersionNode> strings = VersionChildren(tables[0]);
    ASSERT_EQ(strings.size(), ARRAYSIZE(expected)) << "six strings";
    for (size_t i = 0; i < strings.size(); i++) {
        SCOPED_TRACE(testing::Message() << "string " << i);
        EXPECT_EQ(strings[i].key, expected[i].key) << "order of the strings";
        EXPECT_EQ(strings[i].type, 1) << "text";
        std::wstring value;
        const WCHAR *text = reinterpret_cast<const WCHAR *>(strings[i].value);
        for (WORD k = 0; k < strings[i].valueLength && text[k]; k++)
            value += text[k];
        if (expected[i].value)
            EXPECT_EQ(value, expected[i].value);
        else
            EXPECT_FALSE(value.empty()) << "the maker's legal notice";
    }
}
