// The platform-neutral loader: decoding, checksum and index, fed with
// synthetic and damaged containers.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>

#include "archive.h"

namespace {

// An archive of 11 entries with the given sizes; contents are a pattern.
std::vector<uint8_t> MakeArchive(const std::vector<uint32_t> &sizes)
{
    std::vector<uint8_t> archive(PayloadTableSize);
    for (size_t i = 0; i < sizes.size() && i < 11; i++) {
        uint8_t *r = &archive[12 * i];
        for (int b = 0; b < 4; b++)
            r[b] = static_cast<uint8_t>(sizes[i] >> (8 * b));
        uint64_t time = i ? 0x01DD368776AED391ull + i : 0;
        for (int b = 0; b < 8; b++)
            r[4 + b] = static_cast<uint8_t>(time >> (8 * b));
        for (uint32_t k = 0; k < sizes[i]; k++)
            archive.push_back(static_cast<uint8_t>((k * 7 + i * 13) ^ (k >> 5)));
    }
    return archive;
}

// Compresses as the packing tool does; withEndMarker false leaves the marker out.
std::vector<uint8_t> MakeContainer(const std::vector<uint8_t> &archive, bool withEndMarker = true)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = 1 << 20;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (!withEndMarker) {
        filters[0].id = LZMA_FILTER_LZMA1EXT;
        options.ext_flags = 0;
        options.ext_size_low = static_cast<uint32_t>(archive.size());
        options.ext_size_high = 0;
    }
    std::vector<uint8_t> container(archive.size() + archive.size() / 2 + 4096);
    lzma_filter plain[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    EXPECT_EQ(lzma_properties_encode(&plain[0], container.data()), LZMA_OK);
    size_t written = 5;
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, archive.data(), archive.size(), container.data(),
                                     &written, container.size()), LZMA_OK);
    container.resize(written);
    return container;
}

PayloadExpectation ExpectationFor(const std::vector<uint8_t> &container, const std::vector<uint8_t> &archive)
{
    return {static_cast<uint32_t>(container.size()), static_cast<uint32_t>(archive.size()),
            ComputePayloadChecksum(archive.data(), archive.size())};
}

uint32_t Load(const std::vector<uint8_t> &container, const PayloadExpectation &expected,
              PayloadBuffer *buffer, PayloadEntry *entries)
{
    return LoadPayloadBytes(container.data(), static_cast<uint32_t>(container.size()), &expected, buffer,
                            entries);
}

const std::vector<uint32_t> kSizes = {503, 1800, 2000, 3000, 4000, 2500, 2400, 3700, 3500, 1080, 1075};

}  // namespace

TEST(LoadPayloadBytes, AcceptsGoodContainerAndBuildsIndex)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    std::vector<uint8_t> container = MakeContainer(archive);
    PayloadExpectation expected = ExpectationFor(container, archive);
    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount] = {};
    ASSERT_EQ(Load(container, expected, &buffer, entries), 0u);

    uint32_t offset = PayloadTableSize;
    for (int i = 0; i < 11; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].offset, offset);
        EXPECT_EQ(entries[i].size, kSizes[i]);
        EXPECT_EQ(entries[i].lastWriteTime.dwLowDateTime, i ? 0x76AED391u + i : 0u);
        EXPECT_EQ(entries[i].lastWriteTime.dwHighDateTime, i ? 0x01DD3687u : 0u);
        offset += kSizes[i];
    }
    EXPECT_EQ(0, memcmp(buffer.data, archive.data(), archive.size()));
    EXPECT_EQ(buffer.length, PayloadBufferSize) << "length stays 4 MiB after decoding";
    for (uint32_t k = static_cast<uint32_t>(archive.size()); k < PayloadBufferSize; k += 4093)
        ASSERT_EQ(buffer.data[k], 0) << "bytes after the archive stay zero, at " << k;
    FreePayloadBuffer(&buffer);
}

TEST(LoadPayloadBytes, WrongResourceSizeIsStatus4WithoutDecoding)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    std::vector<uint8_t> container = MakeContainer(archive);
    PayloadExpectation expected = ExpectationFor(container, archive);
    PayloadEntry entries[PayloadEntryCount] = {};
    for (int delta : {-1, +1}) {
        SCOPED_TRACE(delta);
        PayloadBuffer buffer = {};
        expected.resourceSize = static_cast<uint32_t>(container.size() + delta);
        EXPECT_EQ(Load(container, expected, &buffer, entries), 4u);
        EXPECT_EQ(buffer.data, nullptr) << "no block is allocated before the size check passes";
    }
    PayloadBuffer buffer = {};
    EXPECT_EQ(LoadPayloadBytes(nullptr, 0, &expected, &buffer, entries), 4u) << "no resource";
}

TEST(LoadPayloadBytes, DamagedStreamsAreStatus21)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    const std::vector<uint8_t> good = MakeContainer(archive);
    PayloadExpectation expected = ExpectationFor(good, archive);
    PayloadEntry entries[PayloadEntryCount] = {};

    for (size_t at : {size_t(5), size_t(6), good.size() / 3, good.size() / 2, good.size() - 8}) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " xor " << int(flip));
            std::vector<uint8_t> damaged = good;
            damaged[at] ^= flip;
            PayloadBuffer buffer = {};
            EXPECT_EQ(Load(damaged, expected, &buffer, entries), 21u);
            FreePayloadBuffer(&buffer);
        }
    }
    {
        SCOPED_TRACE("properties byte of 225 and above");
        for (int props : {225, 226, 255}) {
            std::vector<uint8_t> damaged = good;
            damaged[0] = static_cast<uint8_t>(props);
            PayloadBuffer buffer = {};
            EXPECT_EQ(Load(damaged, expected, &buffer, entries), 21u) << props;
            EXPECT_EQ(DecodePayloadContainer(damaged.data(), static_cast<uint32_t>(damaged.size()), buffer.data,
                                             buffer.length), 0u)
                << "nothing is decoded with properties " << props;
            FreePayloadBuffer(&buffer);
        }
    }
    {
        SCOPED_TRACE("wrong checksum");
        PayloadExpectation wrong = expected;
        wrong.checksum ^= 1;
        PayloadBuffer buffer = {};
        EXPECT_EQ(Load(good, wrong, &buffer, entries), 21u);
        FreePayloadBuffer(&buffer);
    }
    {
        SCOPED_TRACE("decoded length one short of the constant");
        PayloadExpectation wrong = expected;
        wrong.archiveSize += 1;
        PayloadBuffer buffer = {};
        EXPECT_EQ(Load(good, wrong, &buffer, entries), 21u);
        FreePayloadBuffer(&buffer);
    }
}

TEST(LoadPayloadBytes, IndexThatDoesNotEndAtTheArchiveSizeIsStatus21)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    archive[12 * 10] += 1;  // entry 10 claims one byte more than the archive holds
    std::vector<uint8_t> container = MakeContainer(archive);
    PayloadExpectation expected = ExpectationFor(container, archive);
    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount] = {};
    EXPECT_EQ(Load(container, expected, &buffer, entries), 21u);
    FreePayloadBuffer(&buffer);

    // Sizes that wrap around 2^32 and still end at the archive size are only
    // checked through the end, as stored.
    std::vector<uint8_t> wrapped = MakeArchive(kSizes);
    uint32_t size1 = kSizes[1] + 0x80000000u, size2 = kSizes[2] + 0x80000000u;
    memcpy(&wrapped[12], &size1, 4);
    memcpy(&wrapped[24], &size2, 4);
    container = MakeContainer(wrapped);
    expected = ExpectationFor(container, wrapped);
    EXPECT_EQ(Load(container, expected, &buffer, entries), 0u);
    EXPECT_EQ(entries[10].offset + entries[10].size, wrapped.size());
    FreePayloadBuffer(&buffer);
}

TEST(LoadPayloadBytes, StreamWithoutEndMarkerIsAcceptedWhenConstantsMatch)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    std::vector<uint8_t> container = MakeContainer(archive, false);
    std::vector<uint8_t> marked = MakeContainer(archive, true);
    ASSERT_LT(container.size(), marked.size()) << "the stream without the marker is shorter";
    PayloadExpectation expected = ExpectationFor(container, archive);
    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount] = {};
    EXPECT_EQ(Load(container, expected, &buffer, entries), 0u);
    FreePayloadBuffer(&buffer);
}

TEST(LoadPayloadBytes, StreamLongerThan4MiBStopsAtTheLimit)
{
    std::vector<uint32_t> sizes = kSizes;
    sizes[9] = PayloadBufferSize;  // far past the block
    std::vector<uint8_t> archive = MakeArchive(sizes);
    std::vector<uint8_t> container = MakeContainer(archive);
    PayloadExpectation expected = ExpectationFor(container, archive);
    expected.archiveSize = PayloadBufferSize;  // even a constant of exactly 4 MiB cannot match the checksum
    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount] = {};
    EXPECT_EQ(Load(container, expected, &buffer, entries), 21u);
    EXPECT_EQ(DecodePayloadContainer(container.data(), static_cast<uint32_t>(container.size()), buffer.data,
                                     buffer.length), PayloadBufferSize)
        << "decoding stops at the block's end";
    FreePayloadBuffer(&buffer);
}

TEST(LoadPayloadBytes, HugeDictionaryInHeaderStillDecodes)
{
    std::vector<uint8_t> archive = MakeArchive(kSizes);
    std::vector<uint8_t> container = MakeContainer(archive);
    for (uint32_t dict : {3u << 20, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(dict);
        memcpy(&container[1], &dict, 4);
        PayloadExpectation expected = ExpectationFor(container, archive);
        PayloadBuffer buffer = {};
        PayloadEntry entries[PayloadEntryCount] = {};
        EXPECT_EQ(Load(container, expected, &buffer, entries), 0u);
        FreePayloadBuffer(&buffer);
    }
}

TEST(AllocatePayloadBuffer, SecondCallFreesTheFirstAndReturnsZeroedBlock)
{
    PayloadBuffer buffer = {};
    uint8_t *first = AllocatePayloadBuffer(&buffer);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(buffer.owned, 1u);
    EXPECT_EQ(buffer.capacity, PayloadBufferSize);
    EXPECT_EQ(buffer.length, PayloadBufferSize);
    memset(first, 0xAB, PayloadBufferSize);

    uint8_t *second = AllocatePayloadBuffer(&buffer);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(buffer.data, second);
    EXPECT_EQ(buffer.owned, 1u);
    size_t nonZero = 0;
    for (uint32_t k = 0; k < PayloadBufferSize; k++)
        nonZero += second[k] != 0;
    EXPECT_EQ(nonZero, 0u) << "the new block is all zero";

    // A block that is not owned is never freed.
    uint8_t borrowed[16] = {1};
    PayloadBuffer foreign = {borrowed, 0, 16, 16};
    ASSERT_NE(AllocatePayloadBuffer(&foreign), nullptr);
    EXPECT_EQ(borrowed[0], 1);
    FreePayloadBuffer(&foreign);
    FreePayloadBuffer(&buffer);
    EXPECT_EQ(buffer.data, nullptr);
}
