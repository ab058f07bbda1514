// Payload archive: the container format, its decoding, the payload checksum
// and the entry index. No Windows API here, so that the packing tool, the
// native tests and the fuzzers share this code with the setup program.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum : uint32_t {
    PayloadEntryCount = 11,
    PayloadRecordSize = 12,
    PayloadTableSize = PayloadEntryCount * PayloadRecordSize,  // 132
    PayloadBufferSize = 4194304,                               // 4 MiB
    PayloadPropertiesSize = 5,
    PayloadLicenseLimit = 511,
};

// Status codes of the payload routines; callers test zero against nonzero,
// and the install steps try a held file (18, 19) again.
enum : uint32_t {
    PayloadOk = 0,
    PayloadResourceMissing = 4,   // resource missing or of the wrong size
    PayloadBufferMissing = 7,     // decode block not allocated
    PayloadFileNotCreated = 16,
    PayloadWriteFailed = 17,
    PayloadFileHeld = 18,         // another process held the target: the complete temporary file stays
    PayloadTemporaryHeld = 19,    // another process held the temporary file: nothing written
    PayloadCorrupt = 21,
};

// Same layout as the Windows FILETIME: low half first.
struct PayloadFileTime {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

struct PayloadEntry {
    uint32_t offset;
    uint32_t size;
    PayloadFileTime lastWriteTime;
};

struct PayloadBuffer {
    uint8_t *data;
    uint32_t owned;
    uint32_t capacity;
    uint32_t length;
};

// What a build expects of its payload; the setup program passes the
// constants that the packing tool generated.
struct PayloadExpectation {
    uint32_t resourceSize;
    uint32_t archiveSize;
    uint32_t checksum;
};

// Add each byte to the 32-bit sum, then rotate the sum left by one bit.
uint32_t ComputePayloadChecksum(const uint8_t *bytes, size_t count);

// Frees an owned block, then allocates a fresh zero-filled 4 MiB block.
// Returns the block, or null when the allocation fails.
uint8_t *AllocatePayloadBuffer(PayloadBuffer *buffer);

// Releases an owned block; a block that is not owned is left alone.
void FreePayloadBuffer(PayloadBuffer *buffer);

// Decodes the raw LZMA1 stream of a container (5 property bytes, then the
// stream) into out, at most limit bytes. Returns the number of bytes
// produced; 0 when the decoder cannot be set up. Nothing else is reported.
uint32_t DecodePayloadContainer(const uint8_t *container, uint32_t containerSize,
                                uint8_t *out, uint32_t limit);

// Reads the 11 records of the entry table at archive into entries and
// returns where entry 10 ends (32-bit arithmetic, as stored).
uint32_t BuildPayloadIndex(const uint8_t *archive, PayloadEntry *entries);

// Checks the container size, allocates the block, decodes, verifies the
// length and checksum, and builds the index. Returns 0, 4, 7 or 21.
uint32_t LoadPayloadBytes(const uint8_t *container, uint32_t containerSize,
                          const PayloadExpectation *expected, PayloadBuffer *buffer,
                          PayloadEntry *entries);
