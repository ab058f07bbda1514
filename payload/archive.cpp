#include "archive.h"

#include <stdlib.h>
#include <string.h>

#include <lzma.h>

static uint32_t AddAndRotate(uint32_t sum, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        sum += bytes[i];
        sum = (sum << 1) | (sum >> 31);
    }
    return sum;
}

// Eight bytes at a time, with the same result as one byte at a time. While
// no addition carries out of bit 31 and none moves the sum across bit 31,
// each rotation doubles what was added before it, so eight steps come to
// rotl(sum, 8) + 256 b0 + 128 b1 + ... + 2 b7. What the eight steps add to
// the rotated sum stays below 2^17, so that holds whenever bits 30 to 17 of
// none of rotl(sum, 0..7) are all ones, that is, when the sum has no run of
// 14 one bits starting at bits 10 to 17. Otherwise (about one block in
// 2,000) the eight steps are taken one by one.
uint32_t ComputePayloadChecksum(const uint8_t *bytes, size_t count)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; count - i >= 8; i += 8) {
        uint32_t run = sum & (sum >> 1);  // bit j: bits j to j + 1 all ones
        run &= run >> 2;                  // j to j + 3
        run &= run >> 4;                  // j to j + 7
        run &= run >> 6;                  // j to j + 13
        const uint8_t *b = bytes + i;
        if (run & 0x3FC00u) {
            sum = AddAndRotate(sum, b, 8);
            continue;
        }
        uint32_t added = (static_cast<uint32_t>(b[0]) << 8) + (static_cast<uint32_t>(b[1]) << 7) +
                         (static_cast<uint32_t>(b[2]) << 6) + (static_cast<uint32_t>(b[3]) << 5) +
                         (static_cast<uint32_t>(b[4]) << 4) + (static_cast<uint32_t>(b[5]) << 3) +
                         (static_cast<uint32_t>(b[6]) << 2) + (static_cast<uint32_t>(b[7]) << 1);
        sum = ((sum << 8) | (sum >> 24)) + added;
    }
    return AddAndRotate(sum, bytes + i, count - i);
}

uint8_t *AllocatePayloadBuffer(PayloadBuffer *buffer)
{
    if (buffer->owned) {
        if (buffer->data) {
            free(buffer->data);
            buffer->data = nullptr;
            buffer->capacity = 0;
            buffer->length = 0;
        }
        buffer->owned = 0;
    }
    // calloc rather than malloc and memset: a block this large comes fresh
    // from the system, already zero, and its pages are only touched (and
    // counted in the working set) as the decoder writes them.
    uint8_t *block = static_cast<uint8_t *>(calloc(1, PayloadBufferSize));
    if (!block) {
        buffer->data = nullptr;
        return nullptr;
    }
    buffer->data = block;
    buffer->owned = 1;
    buffer->capacity = PayloadBufferSize;
    buffer->length = PayloadBufferSize;
    return block;
}

void FreePayloadBuffer(PayloadBuffer *buffer)
{
    if (buffer->owned && buffer->data)
        free(buffer->data);
    buffer->data = nullptr;
    buffer->owned = 0;
    buffer->capacity = 0;
    buffer->length = 0;
}

uint32_t DecodePayloadContainer(const uint8_t *container, uint32_t containerSize,
                                uint8_t *out, uint32_t limit)
{
    if (!container || containerSize < PayloadPropertiesSize || !out)
        return 0;

    lzma_filter filters[2] = {};
    filters[0].id = LZMA_FILTER_LZMA1;
    filters[1].id = LZMA_VLI_UNKNOWN;
    if (lzma_properties_decode(&filters[0], nullptr, container, PayloadPropertiesSize) != LZMA_OK)
        return 0;

    // No match can reach further back than the output block, so a larger
    // dictionary would only cost memory (a hostile header could ask for 4 GiB).
    lzma_options_lzma *options = static_cast<lzma_options_lzma *>(filters[0].options);
    if (options->dict_size > PayloadBufferSize)
        options->dict_size = PayloadBufferSize;

    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    free(filters[0].options);
    if (ret != LZMA_OK) {
        lzma_end(&stream);
        return 0;
    }

    stream.next_in = container + PayloadPropertiesSize;
    stream.avail_in = containerSize - PayloadPropertiesSize;
    stream.next_out = out;
    stream.avail_out = limit;
    // One call normally does it all; go on only while it makes progress.
    for (;;) {
        uint64_t before = stream.total_in + stream.total_out;
        ret = lzma_code(&stream, LZMA_RUN);
        if (ret != LZMA_OK || stream.avail_in == 0 || stream.avail_out == 0)
            break;
        if (stream.total_in + stream.total_out == before)
            break;
    }
    uint32_t produced = static_cast<uint32_t>(stream.total_out);
    lzma_end(&stream);
    return produced;
}

static uint32_t ReadU32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t BuildPayloadIndex(const uint8_t *archive, PayloadEntry *entries)
{
    entries[0].offset = PayloadTableSize;
    for (uint32_t i = 0; i < PayloadEntryCount; i++) {
        const uint8_t *record = archive + PayloadRecordSize * i;
        entries[i].size = ReadU32(record);
        entries[i].lastWriteTime.dwLowDateTime = ReadU32(record + 4);
        entries[i].lastWriteTime.dwHighDateTime = ReadU32(record + 8);
        if (i > 0)
            entries[i].offset = entries[i - 1].offset + entries[i - 1].size;
    }
    const PayloadEntry &last = entries[PayloadEntryCount - 1];
    return last.offset + last.size;
}

uint32_t LoadPayloadBytes(const uint8_t *container, uint32_t containerSize,
                          const PayloadExpectation *expected, PayloadBuffer *buffer,
                          PayloadEntry *entries)
{
    if (!container || containerSize != expected->resourceSize)
        return PayloadResourceMissing;
    if (!AllocatePayloadBuffer(buffer))
        return PayloadBufferMissing;

    uint32_t produced = DecodePayloadContainer(container, containerSize, buffer->data, buffer->length);
    // The archive must decode to exactly its recorded size; a table that
    // could not even hold the 11 records is rejected by the same rule.
    if (produced != expected->archiveSize || produced < PayloadTableSize)
        return PayloadCorrupt;
    if (ComputePayloadChecksum(buffer->data, produced) != expected->checksum)
        return PayloadCorrupt;
    if (BuildPayloadIndex(buffer->data, entries) != expected->archiveSize)
        return PayloadCorrupt;
    return PayloadOk;
}
