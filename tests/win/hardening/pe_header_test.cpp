// The PE headers of every shipped executable (the setup program and the ten
// payload programs): x86-64 GUI images with ASLR (dynamic base, high-entropy
// addresses, relocations kept) and DEP (NX compatible), and no time stamps
// in the file header, the resource directories or a debug directory, so that
// two builds of the same sources are byte for byte the same. A signed
// release (ORBELUNE_SIGNED) carries its certificate table after every
// section, so that the image, resource 102 among it, is as it was linked;
// the default build carries none.
#include <windows.h>
#include <imagehlp.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening.h"

namespace {

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

    // File offset where the raw data of the last section ends.
    DWORD EndOfSections() const
    {
        DWORD end = 0;
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; i++) {
            const IMAGE_SECTION_HEADER &s = sections_[i];
            if (s.PointerToRawData + s.SizeOfRawData > end)
                end = s.PointerToRawData + s.SizeOfRawData;
        }
        return end;
    }

    const IMAGE_NT_HEADERS64 &Nt() const { return *nt_; }
    WORD SectionCount() const { return nt_->FileHeader.NumberOfSections; }
    const IMAGE_SECTION_HEADER &Section(WORD i) const { return sections_[i]; }
    DWORD Size() const { return size_; }

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

    // Names of the routines that the import directory names, every DLL's;
    // false when a table lies outside the file.
    bool ImportedNames(std::vector<std::string> *names) const
    {
        const IMAGE_DATA_DIRECTORY &imports = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        DWORD at = 0;
        if (!imports.Size || !OffsetOf(imports.VirtualAddress, &at))
            return false;
        for (const IMAGE_IMPORT_DESCRIPTOR *dll; (dll = At<IMAGE_IMPORT_DESCRIPTOR>(at)) && dll->Name;
             at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            DWORD thunks = 0;
            if (!OffsetOf(dll->OriginalFirstThunk ? dll->OriginalFirstThunk : dll->FirstThunk, &thunks))
                return false;
            for (const IMAGE_THUNK_DATA64 *thunk; (thunk = At<IMAGE_THUNK_DATA64>(thunks)) && thunk->u1.AddressOfData;
                 thunks += sizeof(IMAGE_THUNK_DATA64)) {
                DWORD name = 0;
                if (IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal))
                    continue;
                if (!OffsetOf(static_cast<DWORD>(thunk->u1.AddressOfData) + 2, &name) || name >= size_)
                    return false;
                names->push_back(std::string(reinterpret_cast<const char *>(data_ + name),
                                             strnlen(reinterpret_cast<const char *>(data_ + name), size_ - name)));
            }
        }
        return true;
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
    BYTE *data = nullptr;
    DWORD size = 0;
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(BuildOutputPath(name, path, ARRAYSIZE(path)));
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

// The certificate directory holds a file offset, not an address. Signing
// appends the table after every section and rewrites the header checksum.
TEST(ShippedImages, CertificateTableOnlyInASignedRelease)
{
    for (const WCHAR *name : ShippedPrograms) {
        CheckImage(name, [name](const Image &image) {
            const IMAGE_DATA_DIRECTORY &certificates = image.Directory(IMAGE_DIRECTORY_ENTRY_SECURITY);
#if ORBELUNE_SIGNED
            EXPECT_GT(certificates.Size, 0u) << "no certificate table in a signed release";
            EXPECT_GE(certificates.VirtualAddress, image.EndOfSections()) << "certificate table overlaps a section";
            EXPECT_EQ(certificates.VirtualAddress % 8, 0u) << "certificate table not 8-byte aligned";
            EXPECT_EQ(static_cast<ULONGLONG>(certificates.VirtualAddress) + certificates.Size, image.Size())
                << "certificate table does not end the file";
            WCHAR path[MAX_PATH];
            DWORD stored = 0, computed = 0;
            EXPECT_TRUE(BuildOutputPath(name, path, ARRAYSIZE(path)));
            EXPECT_EQ(MapFileAndCheckSumW(path, &stored, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
            EXPECT_EQ(stored, computed) << "header checksum";
#else
            (void)name;
            EXPECT_EQ(certificates.VirtualAddress, 0u) << "the default build is not signed";
            EXPECT_EQ(certificates.Size, 0u) << "the default build is not signed";
#endif
        });
    }
}

// The setup program starts at its own entry, without the C runtime's
// start-up code: no thread-local callbacks, and none of the start-up
// routines that the runtime imports from msvcrt.dll.
TEST(ShippedImages, SetupStartsAtItsOwnEntry)
{
    CheckImage(L"OrbeluneSetup.exe", [](const Image &image) {
        EXPECT_EQ(image.Directory(IMAGE_DIRECTORY_ENTRY_TLS).Size, 0u) << "TLS directory";
        EXPECT_NE(image.Nt().OptionalHeader.AddressOfEntryPoint, 0u) << "entry point";
        std::vector<std::string> names;
        ASSERT_TRUE(image.ImportedNames(&names)) << "import directory not readable";
        EXPECT_GT(names.size(), 10u) << "too few imports read";
        for (const char *routine : {"__wgetmainargs", "__set_app_type", "_initterm", "_amsg_exit"})
            EXPECT_EQ(std::count(names.begin(), names.end(), routine), 0) << routine;
    });
}

// The setup's globals take no room in the file: the zero ones are in .bss,
// and the import table shares the read-only data's section
// (cmake/setup-sections.ld), where the loader fills it before the program
// runs. So the only writable sections are .bss and .rsrc, which ld always
// marks writable. The unwind data stays, for debuggers and crash reports.
TEST(ShippedImages, SetupWritesOnlyItsGlobals)
{
    CheckImage(L"OrbeluneSetup.exe", [](const Image &image) {
        EXPECT_GT(image.Directory(IMAGE_DIRECTORY_ENTRY_EXCEPTION).Size, 0u) << "no unwind data";
        for (WORD i = 0; i < image.SectionCount(); i++) {
            const IMAGE_SECTION_HEADER &section = image.Section(i);
            const char *bytes = reinterpret_cast<const char *>(section.Name);
            std::string name(bytes, strnlen(bytes, IMAGE_SIZEOF_SHORT_NAME));
            if (section.Characteristics & IMAGE_SCN_MEM_WRITE)
                EXPECT_TRUE(name == ".bss" || name == ".rsrc") << name << " is writable";
            if (name == ".bss")
                EXPECT_EQ(section.SizeOfRawData, 0u) << ".bss takes room in the file";
        }
    });
}

// The setup's manifest names Windows Vista and 7 among its systems, where
// kernel32 lacks SetDefaultDllDirectories unless KB2533623 is installed: a
// program that imports it is refused by the loader before it runs. The setup
// program and the uninstallers look it up at run time instead and fall back
// to SetDllDirectoryW, which every one of those systems has.
TEST(ShippedImages, NoneImportsSetDefaultDllDirectories)
{
    for (const WCHAR *name : ShippedPrograms) {
        CheckImage(name, [name](const Image &image) {
            std::vector<std::string> names;
            ASSERT_TRUE(image.ImportedNames(&names)) << "import directory not readable";
            EXPECT_GT(names.size(), 10u) << "too few imports read";
            EXPECT_EQ(std::count(names.begin(), names.end(), "SetDefaultDllDirectories"), 0) << "imported statically";
            if (wcsstr(name, L"OrbeluneSetup") || wcsstr(name, L"ninstall"))  // the setup and both uninstallers
                EXPECT_EQ(std::count(names.begin(), names.end(), "SetDllDirectoryW"), 1) << "the fallback";
        });
    }
}
