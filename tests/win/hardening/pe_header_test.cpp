// The PE headers of every shipped executable (the setup program and the ten
// payload programs): x86-64 GUI images with ASLR (dynamic base, high-entropy
// addresses, relocations kept) and DEP (NX compatible), and no time stamps
// in the file header, the resource directories or a debug directory, so that
// two builds of the same sources are byte for byte the same.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "hardening.h"

namespace {

const WCHAR *const ShippedPrograms[] = {
    L"OrbeluneSetup.exe",          L"payload\\Vantok.exe",     L"payload\\Brindlecap.exe",
    L"payload\\Ostravelind.exe",   L"payload\\Zafrin.exe",     L"payload\\Kestrefond.exe",
    L"payload\\Quillmarsh.exe",    L"payload\\Cryvane.exe",    L"payload\\Drumlake.exe",
    L"payload\\uninstall.exe",     L"payload\\UninstallAdmin.exe",
};

class Image {
public:
    Image(const BYTE *data, DWORD size) : data_(data), size_(size) {}

    template <typename T> const T *At(DWORD offset) const
    {
        return offset <= size_ && sizeof(T) <= size_ - offset ? reinterpret_cast<const T *>(data_ + offset) : nullptr;
    }

    // File offset of a relative virtual address, through the section table.
    bool OffsetOf(DWORD rva, DWORD *offset) const
    {
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; i++) {
            const IMAGE_SECTION_HEADER &s = sections_[i];
            DWORD extent = s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < extent) {
                *offset = s.PointerToRawData + (rva - s.VirtualAddress);
                return true;
            }
        }
        return false;
    }

    bool Parse()
    {
        const IMAGE_DOS_HEADER *dos = At<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE)
            return false;
        nt_ = At<IMAGE_NT_HEADERS64>(static_cast<DWORD>(dos->e_lfanew));
        if (!nt_ || nt_->Signature != IMAGE_NT_SIGNATURE)
            return false;
        DWORD sectionTable = static_cast<DWORD>(dos->e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                             nt_->FileHeader.SizeOfOptionalHeader;
        if (!At<IMAGE_SECTION_HEADER>(sectionTable + (nt_->FileHeader.NumberOfSections - 1u) *
                                                         sizeof(IMAGE_SECTION_HEADER)))
            return false;
        sections_ = At<IMAGE_SECTION_HEADER>(sectionTable);
        return true;
    }

    const IMAGE_NT_HEADERS64 &Nt() const { return *nt_; }

    // Whether any import of the image is by this name; false also when the
    // import table cannot be read.
    bool ImportsByName(const char *wanted) const
    {
        DWORD offset;
        if (!OffsetOf(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress, &offset))
            return false;
        for (const IMAGE_IMPORT_DESCRIPTOR *dll; (dll = At<IMAGE_IMPORT_DESCRIPTOR>(offset)) && dll->Name;
             offset += sizeof(*dll)) {
            DWORD thunk;
            if (!OffsetOf(dll->OriginalFirstThunk ? dll->OriginalFirstThunk : dll->FirstThunk, &thunk))
                continue;
            for (const IMAGE_THUNK_DATA64 *t; (t = At<IMAGE_THUNK_DATA64>(thunk)) && t->u1.AddressOfData;
                 thunk += sizeof(*t)) {
                DWORD name;
                if (IMAGE_SNAP_BY_ORDINAL64(t->u1.Ordinal) ||
                    !OffsetOf(static_cast<DWORD>(t->u1.AddressOfData) + offsetof(IMAGE_IMPORT_BY_NAME, Name), &name))
                    continue;
                size_t room = name < size_ ? size_ - name : 0;
                if (room > strlen(wanted) && !memcmp(data_ + name, wanted, strlen(wanted) + 1))
                    return true;
            }
        }
        return false;
    }
    const IMAGE_DATA_DIRECTORY &Directory(int index) const { return nt_->OptionalHeader.DataDirectory[index]; }

    // Time stamps of the resource directory and every directory below it
    // that are not zero; depth-limited against loops.
    int StampedResourceDirectories(DWORD base, DWORD offset, int depth) const
    {
        const IMAGE_RESOURCE_DIRECTORY *directory = At<IMAGE_RESOURCE_DIRECTORY>(base + offset);
        if (!directory || depth > 3)
            return 0;
        int stamped = directory->TimeDateStamp != 0;
        DWORD count = directory->NumberOfNamedEntries + directory->NumberOfIdEntries;
        const DWORD first = base + offset + sizeof(IMAGE_RESOURCE_DIRECTORY);
        for (DWORD i = 0; i < count; i++) {
            const IMAGE_RESOURCE_DIRECTORY_ENTRY *entry =
                At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(first + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
            if (entry && entry->DataIsDirectory)
                stamped += StampedResourceDirectories(base, entry->OffsetToDirectory, depth + 1);
        }
        return stamped;
    }

private:
    const BYTE *data_;
    DWORD size_;
    const IMAGE_NT_HEADERS64 *nt_ = nullptr;
    const IMAGE_SECTION_HEADER *sections_ = nullptr;
};

// Reads the built image and runs check on it; the file is freed here, also
// when check stops at a failed assertion.
template <typename Check> void CheckImage(const WCHAR *name, Check check)
{
    SCOPED_TRACE(Narrow(name));
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(name, path, ARRAYSIZE(path)));
    BYTE *data = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(ReadWholeFile(path, &data, &size)) << "not built";
    Image image(data, size);
    if (image.Parse())
        check(image);
    else
        ADD_FAILURE() << "not a PE image";
    free(data);
}

void ExpectHardenedImage(const Image &image)
{
    const IMAGE_NT_HEADERS64 &nt = image.Nt();
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64) << "x86-64";
    EXPECT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC) << "PE32+";
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI) << "GUI subsystem";

    const WORD flags = nt.OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "ASLR: dynamic base";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA) << "ASLR: high-entropy addresses";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "DEP: NX compatible";
    // Without relocations the loader cannot move the image, whatever the flag says.
    EXPECT_FALSE(nt.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) << "relocations stripped";
    EXPECT_GT(image.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u) << "no relocation directory";

    EXPECT_EQ(nt.FileHeader.TimeDateStamp, 0u) << "time stamp in the file header";
    const IMAGE_DATA_DIRECTORY &resources = image.Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    DWORD resourceOffset = 0;
    ASSERT_GT(resources.Size, 0u) << "no resources (manifest, version block)";
    ASSERT_TRUE(image.OffsetOf(resources.VirtualAddress, &resourceOffset));
    EXPECT_EQ(image.StampedResourceDirectories(resourceOffset, 0, 0), 0) << "time stamps in the resource directories";
    const IMAGE_DATA_DIRECTORY &debug = image.Directory(IMAGE_DIRECTORY_ENTRY_DEBUG);
    DWORD debugOffset = 0;
    if (debug.Size && image.OffsetOf(debug.VirtualAddress, &debugOffset)) {
        for (DWORD i = 0; i < debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY); i++) {
            const IMAGE_DEBUG_DIRECTORY *entry =
                image.At<IMAGE_DEBUG_DIRECTORY>(debugOffset + i * sizeof(IMAGE_DEBUG_DIRECTORY));
            EXPECT_TRUE(entry && entry->TimeDateStamp == 0) << "time stamp in debug directory entry " << i;
        }
    }
}

}  // namespace

TEST(ShippedImages, CarryAslrAndDepAndNoTimeStamps)
{
    for (const WCHAR *name : ShippedPrograms)
        CheckImage(name, ExpectHardenedImage);
}

// The setup program starts at its own entry, without the C runtime's
// start-up code: no thread-local callbacks, and none of the start-up
// routines that the runtime imports from msvcrt.dll.
TEST(ShippedImages, SetupStartsAtItsOwnEntry)
{
    CheckImage(L"OrbeluneSetup.exe", [](const Image &image) {
        EXPECT_EQ(image.Directory(IMAGE_DIRECTORY_ENTRY_TLS).Size, 0u) << "TLS directory";
        EXPECT_NE(image.Nt().OptionalHeader.AddressOfEntryPoint, 0u) << "entry point";
        EXPECT_TRUE(image.ImportsByName("SetDefaultDllDirectories")) << "the import table should be readable";
        for (const char *routine : {"__wgetmainargs", "__set_app_type", "_initterm", "_amsg_exit"})
            EXPECT_FALSE(image.ImportsByName(routine)) << routine;
    });
}
