// The packing tool: what it writes, read back with liblzma, and how it
// refuses bad input.
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>

#include "archive.h"
#include "pack_fixture.h"

static uint32_t ReadU32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Pulls "Name = <number>u" out of the generated header.
static bool HeaderConstant(const std::string &header, const char *name, uint32_t *value)
{
    std::string key = std::string(name) + " = ";
    size_t at = header.find(key);
    if (at == std::string::npos)
        return false;
    *value = static_cast<uint32_t>(strtoul(header.c_str() + at + key.size(), nullptr, 0));
    return true;
}

// Decodes independently of the loader: the stream must end with the end marker.
static std::vector<uint8_t> DecodeWithLiblzma(const std::vector<uint8_t> &container, lzma_ret *result)
{
    std::vector<uint8_t> out(PayloadBufferSize + 1);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    *result = lzma_properties_decode(&filters[0], nullptr, container.data(), 5);
    if (*result != LZMA_OK)
        return {};
    lzma_stream stream = LZMA_STREAM_INIT;
    *result = lzma_raw_decoder(&stream, filters);
    free(filters[0].options);
    if (*result != LZMA_OK)
        return {};
    stream.next_in = container.data() + 5;
    stream.avail_in = container.size() - 5;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    *result = lzma_code(&stream, LZMA_FINISH);
    out.resize(stream.total_out);
    lzma_end(&stream);
    return out;
}

TEST(PackTool, WritesContainerThatDecodesToTheArchive)
{
    PackFolder folder;
    std::vector<std::vector<uint8_t>> contents;
    std::vector<uint64_t> times;
    folder.WriteStandardPayload(&contents, &times);

    PackRun run = folder.Pack();
    ASSERT_EQ(run.exitCode, 0) << run.output;

    std::vector<uint8_t> container = folder.Read("payload.bin");
    ASSERT_GT(container.size(), 5u);
    // The tool picks lc, lp and pb; whatever it picked must be a header that
    // liblzma accepts, within what the format allows.
    lzma_filter properties = {LZMA_FILTER_LZMA1, nullptr};
    ASSERT_EQ(lzma_properties_decode(&properties, nullptr, container.data(), 5), LZMA_OK)
        << "properties byte " << int(container[0]);
    const lzma_options_lzma *chosen = static_cast<const lzma_options_lzma *>(properties.options);
    EXPECT_LE(chosen->lc + chosen->lp, 4u) << "lc " << chosen->lc << ", lp " << chosen->lp;
    EXPECT_LE(chosen->pb, 4u);
    free(properties.options);
    EXPECT_EQ(ReadU32(&container[1]), 3u << 20) << "dictionary size";

    lzma_ret result;
    std::vector<uint8_t> archive = DecodeWithLiblzma(container, &result);
    EXPECT_EQ(result, LZMA_STREAM_END) << "the stream must end with the end marker";

    size_t expectedSize = PayloadTableSize;
    for (const auto &c : contents)
        expectedSize += c.size();
    ASSERT_EQ(archive.size(), expectedSize);

    size_t offset = PayloadTableSize;
    for (int i = 0; i < 11; i++) {
        SCOPED_TRACE("entry " + std::to_string(i));
        const uint8_t *record = &archive[12 * i];
        EXPECT_EQ(ReadU32(record), contents[i].size());
        uint64_t time = ReadU32(record + 4) | (static_cast<uint64_t>(ReadU32(record + 8)) << 32);
        EXPECT_EQ(time, times[i]);
        ASSERT_LE(offset + contents[i].size(), archive.size());
        EXPECT_EQ(0, memcmp(&archive[offset], contents[i].data(), contents[i].size()));
        offset += contents[i].size();
    }

    std::vector<uint8_t> headerBytes = folder.Read("payload_constants.h");
    std::string header(headerBytes.begin(), headerBytes.end());
    uint32_t resourceSize = 0, archiveSize = 0, checksum = 0;
    ASSERT_TRUE(HeaderConstant(header, "PayloadResourceSize", &resourceSize)) << header;
    ASSERT_TRUE(HeaderConstant(header, "PayloadArchiveSize", &archiveSize)) << header;
    ASSERT_TRUE(HeaderConstant(header, "PayloadChecksum", &checksum)) << header;
    EXPECT_EQ(resourceSize, container.size());
    EXPECT_EQ(archiveSize, archive.size());
    EXPECT_EQ(checksum, ComputePayloadChecksum(archive.data(), archive.size()));

    // The loader accepts what the tool wrote, with the same index.
    PayloadExpectation expected = {resourceSize, archiveSize, checksum};
    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount] = {};
    EXPECT_EQ(LoadPayloadBytes(container.data(), static_cast<uint32_t>(container.size()), &expected,
                               &buffer, entries), 0u);
    EXPECT_EQ(entries[10].offset + entries[10].size, archiveSize);
    FreePayloadBuffer(&buffer);
}

// The container at preset 9e, 3 MiB dictionary, with the given settings.
static size_t ContainerSizeWith(const std::vector<uint8_t> &archive, uint32_t lc, uint32_t lp, uint32_t pb)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME);
    options.dict_size = 3u << 20;
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> out(archive.size() + archive.size() / 2 + 65536);
    size_t written = 5;
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, archive.data(), archive.size(), out.data(), &written,
                                     out.size()), LZMA_OK);
    return written;
}

TEST(PackTool, KeepsTheSmallestOfAllSettings)
{
    // Records of 4 bytes whose first byte counts up: a layout where
    // other settings than lc 3, lp 0, pb 2 pay off.
    PackFolder folder;
    std::vector<std::vector<uint8_t>> contents;
    std::vector<uint64_t> times;
    folder.WriteStandardPayload(&contents, &times);
    std::vector<uint8_t> records;
    uint32_t seed = 777;
    for (int i = 0; i < 6000; i++) {
        seed = seed * 1103515245u + 12345u;
        records.push_back(static_cast<uint8_t>(i));
        records.push_back(static_cast<uint8_t>(seed >> 24) & 0x0F);
        records.push_back(0);
        records.push_back(0x80);
    }
    folder.WriteFile("entry3.bin", PackFolder::ProgramImage(records));  // headers of 512 bytes keep the records aligned
    ASSERT_EQ(folder.Pack().exitCode, 0);
    std::vector<uint8_t> container = folder.Read("payload.bin");
    lzma_ret result;
    std::vector<uint8_t> archive = DecodeWithLiblzma(container, &result);
    ASSERT_EQ(result, LZMA_STREAM_END);

    size_t usual = ContainerSizeWith(archive, 3, 0, 2);
    EXPECT_LE(container.size(), usual) << "never larger than with properties byte 0x5D";
    size_t smallest = usual;
    uint8_t smallestByte = 0x5D;
    for (uint32_t lc = 0; lc <= 4; lc++) {
        for (uint32_t lp = 0; lc + lp <= 4; lp++) {
            for (uint32_t pb = 0; pb <= 4; pb++) {
                size_t size = ContainerSizeWith(archive, lc, lp, pb);
                if (size < smallest) {
                    smallest = size;
                    smallestByte = static_cast<uint8_t>((pb * 5 + lp) * 9 + lc);
                }
            }
        }
    }
    EXPECT_LT(smallest, usual) << "the test data should favour other settings";
    EXPECT_EQ(container.size(), smallest) << "the smallest of the 75 settings";
    EXPECT_EQ(container[0], smallestByte) << "the first setting of that size, lc 3, lp 0, pb 2 before all";

    // --settings packs once, with exactly the settings given.
    PackRun fixed = folder.Pack("payload.list", "--settings 3,0,2");
    ASSERT_EQ(fixed.exitCode, 0) << fixed.output;
    container = folder.Read("payload.bin");
    EXPECT_EQ(container.size(), usual) << "--settings 3,0,2";
    EXPECT_EQ(container[0], 0x5D) << "--settings 3,0,2";
    EXPECT_EQ(DecodeWithLiblzma(container, &result), archive) << "--settings 3,0,2";
}

TEST(PackTool, SameInputsGiveIdenticalBytes)
{
    PackFolder folder;
    std::vector<std::vector<uint8_t>> contents;
    std::vector<uint64_t> times;
    folder.WriteStandardPayload(&contents, &times);
    ASSERT_EQ(folder.Pack().exitCode, 0);
    std::vector<uint8_t> firstContainer = folder.Read("payload.bin");
    std::vector<uint8_t> firstHeader = folder.Read("payload_constants.h");
    ASSERT_EQ(folder.Pack().exitCode, 0);
    EXPECT_EQ(folder.Read("payload.bin"), firstContainer);
    EXPECT_EQ(folder.Read("payload_constants.h"), firstHeader);

    // With the record of the inputs, the same inputs write nothing; a
    // missing output is written again, a touched file packed again, and so
    // is a file replaced by another one with an older time.
    std::string record = "--inputs '" + folder.Path("payload.inputs") + "'";
    ASSERT_EQ(folder.Pack("payload.list", record).exitCode, 0);
    PackRun again = folder.Pack("payload.list", record);
    EXPECT_NE(again.output.find("unchanged"), std::string::npos) << again.output;
    ASSERT_EQ(remove(folder.Path("payload.bin").c_str()), 0);
    again = folder.Pack("payload.list", record);
    EXPECT_EQ(again.output.find("unchanged"), std::string::npos) << again.output;
    EXPECT_EQ(folder.Read("payload.bin"), firstContainer);
    ASSERT_EQ(utimes(folder.Path("built/entry8.bin").c_str(), nullptr), 0);
    EXPECT_EQ(folder.Pack("payload.list", record).output.find("unchanged"), std::string::npos) << "touched";
    std::vector<uint8_t> newer = contents[7];
    newer[600] ^= 0xFF;
    folder.WriteFile("sub folder/entry7.bin", newer);
    const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(folder.Path("sub folder/entry7.bin").c_str(), old), 0);
    again = folder.Pack("payload.list", record);
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(again.output.find("unchanged"), std::string::npos) << again.output;
    EXPECT_NE(folder.Read("payload_constants.h"), firstHeader) << "the constants follow the new file";
}

TEST(PayloadChecksum, WorkedExamples)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(ComputePayloadChecksum(abc, 3), 0x00000556u);
    EXPECT_EQ(ComputePayloadChecksum(nullptr, 0), 0u);
    const uint8_t top[] = {0x80, 0x00, 0x00, 0x00};  // the top bit must come round to the bottom
    EXPECT_EQ(ComputePayloadChecksum(top, 4), 0x00000800u);
}

// The sum one byte at a time, as the format states it: the oracle.
static uint32_t ChecksumByteByByte(const uint8_t *bytes, size_t count)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < count; i++) {
        sum += bytes[i];
        sum = (sum << 1) | (sum >> 31);
    }
    return sum;
}

// The checksum takes eight bytes at a time where it can; it must agree with
// the byte-by-byte sum everywhere, above all where sums near the top carry
// or cross bit 31, and for every length of the tail.
TEST(PayloadChecksum, AgreesWithTheByteByByteSum)
{
    std::vector<uint8_t> random(1 << 20);
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (uint8_t &byte : random) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<uint8_t>(state >> 24);
    }
    std::vector<uint8_t> ones(4096, 0xFF);  // sums full of one bits: the slow path all along
    std::vector<uint8_t> mixed = random;    // mostly 0xFF: sums with long runs of one bits, near the top
    for (size_t i = 0; i < mixed.size(); i++)
        mixed[i] = random[i] < 0xE0 ? 0xFF : random[(i * 7) % random.size()];
    const struct {
        const char *name;
        const std::vector<uint8_t> &bytes;
    } cases[] = {{"random", random}, {"0xFF", ones}, {"mostly 0xFF", mixed}};
    for (const auto &c : cases) {
        for (size_t length : {c.bytes.size(), c.bytes.size() - 1, c.bytes.size() - 7, size_t(4095), size_t(17)}) {
            EXPECT_EQ(ComputePayloadChecksum(c.bytes.data(), length), ChecksumByteByByte(c.bytes.data(), length))
                << c.name << ", " << length << " bytes";
        }
    }
    // Every start of a block after a sum of many one bits, at every offset.
    for (size_t length = 0; length <= 40; length++) {
        EXPECT_EQ(ComputePayloadChecksum(mixed.data() + 90, length), ChecksumByteByByte(mixed.data() + 90, length))
            << length << " bytes";
    }
}

// Each bad input gives one line naming the problem, exit code 1, and no output files.
static void ExpectRefused(const PackFolder &folder, const char *needle, const char *listName = "payload.list",
                          const char *options = "")
{
    PackRun run = folder.Pack(listName, options);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("error:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(needle), std::string::npos) << "expected \"" << needle << "\" in: " << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_TRUE(folder.Read("payload.bin").empty()) << "no container after a refusal";
    EXPECT_TRUE(folder.Read("payload_constants.h").empty()) << "no header after a refusal";
}

TEST(PackTool, RefusesBadInput)
{
    std::vector<std::vector<uint8_t>> contents;
    std::vector<uint64_t> times;
    {
        SCOPED_TRACE("missing list");
        PackFolder folder;
        ExpectRefused(folder, "cannot read payload list", "absent.list");
    }
    {
        SCOPED_TRACE("missing file");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        ASSERT_EQ(remove(folder.Path("entry4.bin").c_str()), 0);
        ExpectRefused(folder, ("cannot read entry4.bin, resolved as " + folder.Path("entry4.bin")).c_str());
    }
    {
        SCOPED_TRACE("missing program that the build makes");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        ASSERT_EQ(remove(folder.Path("built/entry8.bin").c_str()), 0);
        ExpectRefused(folder, ("build:entry8.bin, resolved as " + folder.Path("built/entry8.bin")).c_str());
    }
    {
        SCOPED_TRACE("missing file by absolute path");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        ASSERT_EQ(remove(folder.Path("entry6.bin").c_str()), 0);
        ExpectRefused(folder, ("cannot read " + folder.Path("entry6.bin") + ": No such file").c_str());
    }
    // Entries 1 to 10 must be 64-bit programs: one line names the entry,
    // its file and what it is instead.
    std::vector<uint8_t> image = PackFolder::ProgramImage(std::vector<uint8_t>(2000, 0x90));
    std::vector<uint8_t> dll = image, x86 = image, truncated(image.begin(), image.end() - 1);
    dll[87] |= 0x20;                      // IMAGE_FILE_DLL (0x2000)
    x86[68] = 0x4C, x86[69] = 0x01;       // IMAGE_FILE_MACHINE_I386
    x86[88] = 0x0B, x86[89] = 0x01;       // PE32
    std::string text = "A text file, not a program.\r\n";
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *found;
    } images[] = {
        {"text file", std::vector<uint8_t>(text.begin(), text.end()), "not a Windows executable image (no MZ header)"},
        {"truncated", truncated, "a truncated image (2511 bytes, its sections need 2512)"},
        {"DLL", dll, "a DLL, not a program"},
        {"32-bit", x86, "a 32-bit x86 program (machine 0x014C), not x86-64"},
    };
    for (const auto &c : images) {
        SCOPED_TRACE(c.name);
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        folder.WriteFile("entry3.bin", c.bytes);
        std::string line = "entry 3, entry3.bin, resolved as " + folder.Path("entry3.bin") + ": " + c.found;
        ExpectRefused(folder, line.c_str());
    }
    {
        SCOPED_TRACE("unreadable file (a folder in its place)");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        ASSERT_EQ(remove(folder.Path("entry5.bin").c_str()), 0);
        ASSERT_EQ(mkdir(folder.Path("entry5.bin").c_str(), 0755), 0);
        ExpectRefused(folder, "entry5.bin");
    }
    {
        SCOPED_TRACE("ten entries");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        std::vector<uint8_t> list = folder.Read("payload.list");
        std::string text(list.begin(), list.end());
        text.erase(text.rfind("entry10.bin"));
        folder.WriteText("payload.list", text);
        ExpectRefused(folder, "10 entries, expected exactly 11");
    }
    {
        SCOPED_TRACE("twelve entries");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        std::vector<uint8_t> list = folder.Read("payload.list");
        folder.WriteText("payload.list", std::string(list.begin(), list.end()) + "entry1.bin 0\n");
        ExpectRefused(folder, "more than 11 entries");
    }
    {
        SCOPED_TRACE("a line without a time");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        std::vector<uint8_t> list = folder.Read("payload.list");
        folder.WriteText("payload.list", "entry0.bin\n" + std::string(list.begin(), list.end()));
        ExpectRefused(folder, "line 1");
    }
    {
        SCOPED_TRACE("archive over 4 MiB");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        size_t used = PayloadTableSize;
        for (const auto &c : contents)
            used += c.size();
        // entry 9 grows so that the archive is one byte over the limit
        folder.WriteFile("entry9.bin", PackFolder::ProgramImage(
            std::vector<uint8_t>(PayloadBufferSize - used + contents[9].size() + 1 - 512, 0x41)));
        ExpectRefused(folder, "archive exceeds 4194304 bytes");
    }
    {
        SCOPED_TRACE("license not 7-bit ASCII");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        folder.WriteText("entry0.bin", "Caf\xC3\xA9 license");
        ExpectRefused(folder, "not 7-bit ASCII");
    }
    {
        SCOPED_TRACE("license of 512 bytes");
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        folder.WriteText("entry0.bin", std::string(512, 'L'));
        ExpectRefused(folder, "512 bytes, at most 511");
    }
    for (const char *settings : {"3,2,2", "0,0,5", "3,0", "3,0,2x"}) {
        SCOPED_TRACE(std::string("--settings ") + settings);
        PackFolder folder;
        folder.WriteStandardPayload(&contents, &times);
        ExpectRefused(folder, "--settings", "payload.list", (std::string("--settings ") + settings).c_str());
    }
}

TEST(PackTool, AcceptsArchiveOfExactly4MiBAndLicenseOf511Bytes)
{
    PackFolder folder;
    std::vector<std::vector<uint8_t>> contents;
    std::vector<uint64_t> times;
    folder.WriteStandardPayload(&contents, &times);
    folder.WriteText("entry0.bin", std::string(511, 'L'));
    contents[0].assign(511, 'L');
    size_t used = PayloadTableSize;
    for (const auto &c : contents)
        used += c.size();
    size_t body = PayloadBufferSize - used + contents[9].size() - 512;  // entry 9 fills the archive exactly
    folder.WriteFile("entry9.bin", PackFolder::ProgramImage(std::vector<uint8_t>(body, 0x41)));
    PackRun run = folder.Pack();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("archive 4194304 bytes"), std::string::npos) << run.output;
}
