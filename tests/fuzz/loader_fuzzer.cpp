// Fuzz target of the payload loader: arbitrary container bytes checked
// against arbitrary or matching build constants, a status and an index out.
//
// Input: three little-endian u32 constants (resource size, archive size,
// payload checksum), then the container (5 property bytes, then the raw
// LZMA1 stream). Random constants rarely get past the size check, so
// 0xFFFFFFFF stands for "what a build of this container would have
// generated": as resource size, the container's own size; as archive size,
// the length and checksum of what the container decodes to, so that the
// entry table of a decodable container is always reached.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive.h"

namespace {

const uint32_t Derived = 0xFFFFFFFFu;
const uint32_t HeaderSize = 12;
const uint32_t GuardSize = 64;
const uint8_t GuardByte = 0xCD;

#define CHECK(condition, what)                                                     \
    do {                                                                           \
        if (!(condition)) {                                                        \
            fprintf(stderr, "loader_fuzzer: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            abort();                                                               \
        }                                                                          \
    } while (0)

uint32_t ReadU32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The decoder must stay within the limit it is given. liblzma is not
// instrumented, so guard bytes after the limit stand in for a red zone.
void CheckDecodeLimit(const uint8_t *container, uint32_t containerSize)
{
    uint32_t limit = 1 + containerSize % 65536;
    uint8_t *out = static_cast<uint8_t *>(malloc(limit + GuardSize));
    CHECK(out, "no memory for the limit check");
    memset(out + limit, GuardByte, GuardSize);
    uint32_t produced = DecodePayloadContainer(container, containerSize, out, limit);
    CHECK(produced <= limit, "decoder reported more bytes than its limit");
    for (uint32_t i = 0; i < GuardSize; i++)
        CHECK(out[limit + i] == GuardByte, "decoder wrote past its limit");
    free(out);
}

// What a packing step would generate for this container.
void DeriveExpectation(const uint8_t *container, uint32_t containerSize, PayloadExpectation *expected)
{
    PayloadBuffer probe = {};
    CHECK(AllocatePayloadBuffer(&probe), "no memory for the probe block");
    uint32_t produced = DecodePayloadContainer(container, containerSize, probe.data, probe.length);
    CHECK(produced <= probe.length, "decoder reported more bytes than the block");
    expected->archiveSize = produced;
    expected->checksum = ComputePayloadChecksum(probe.data, produced);
    FreePayloadBuffer(&probe);
}

// The readers of the index take their ranges the way extraction and the
// license page do: cut at the block's length, nothing read when the offset
// lies beyond it. Reading them all proves that a verified index never leads
// a reader out of the block, however its entries wrap.
uint32_t ReadIndexedRanges(const PayloadBuffer &buffer, const PayloadEntry *entries)
{
    uint32_t sum = 0;
    uint32_t license = entries[0].size < PayloadLicenseLimit ? entries[0].size : PayloadLicenseLimit;
    for (uint32_t i = 0; i < license; i++)
        sum += buffer.data[entries[0].offset + i];
    for (uint32_t e = 1; e < PayloadEntryCount; e++) {
        if (entries[e].offset > buffer.length)
            continue;
        uint32_t remaining = buffer.length - entries[e].offset;
        uint32_t count = entries[e].size < remaining ? entries[e].size : remaining;
        sum += ComputePayloadChecksum(buffer.data + entries[e].offset, count);
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HeaderSize || size - HeaderSize > 0xFFFFFFF0u)
        return 0;
    const uint8_t *container = data + HeaderSize;
    const uint32_t containerSize = static_cast<uint32_t>(size - HeaderSize);

    PayloadExpectation expected = {ReadU32(data), ReadU32(data + 4), ReadU32(data + 8)};
    if (expected.resourceSize == Derived)
        expected.resourceSize = containerSize;
    if (expected.archiveSize == Derived)
        DeriveExpectation(container, containerSize, &expected);

    CheckDecodeLimit(container, containerSize);

    PayloadBuffer buffer = {};
    PayloadEntry entries[PayloadEntryCount];
    memset(entries, 0, sizeof(entries));
    uint32_t status = LoadPayloadBytes(container, containerSize, &expected, &buffer, entries);

    switch (status) {
    case PayloadResourceMissing:
        CHECK(containerSize != expected.resourceSize, "status 4 for a container of the expected size");
        CHECK(!buffer.data, "status 4, yet a block was allocated: decoding was tried");
        break;
    case PayloadCorrupt:
        CHECK(containerSize == expected.resourceSize, "status 21 for a container of the wrong size");
        CHECK(buffer.data && buffer.owned, "status 21 without the block, which stays until its owner frees it");
        break;
    case PayloadOk: {
        CHECK(containerSize == expected.resourceSize, "accepted a container of the wrong size");
        CHECK(buffer.data && buffer.owned, "accepted without an owned block");
        CHECK(buffer.capacity == PayloadBufferSize && buffer.length == PayloadBufferSize,
              "block length changed by loading");
        CHECK(expected.archiveSize >= PayloadTableSize && expected.archiveSize <= PayloadBufferSize,
              "accepted an archive that cannot hold the table or does not fit the block");
        CHECK(ComputePayloadChecksum(buffer.data, expected.archiveSize) == expected.checksum,
              "accepted an archive whose checksum differs");
        CHECK(entries[0].offset == PayloadTableSize, "entry 0 does not start after the table");
        for (uint32_t i = 1; i < PayloadEntryCount; i++)
            CHECK(entries[i].offset == entries[i - 1].offset + entries[i - 1].size, "entries not contiguous");
        CHECK(entries[PayloadEntryCount - 1].offset + entries[PayloadEntryCount - 1].size == expected.archiveSize,
              "accepted an index that does not end at the archive's end");
        for (uint32_t i = expected.archiveSize; i < buffer.length; i++)
            CHECK(buffer.data[i] == 0, "bytes after the archive are not zero");
        volatile uint32_t sink = ReadIndexedRanges(buffer, entries);
        (void)sink;
        break;
    }
    default:
        CHECK(false, "status other than 0, 4 or 21 (7 needs an allocation failure)");
    }

    FreePayloadBuffer(&buffer);
    CHECK(!buffer.data && !buffer.owned && !buffer.length, "block not released");
    return 0;
}
