// LoadPayload on the real payload of the build.
#include <windows.h>

#include <gtest/gtest.h>

#include "payload.h"
#include "payload_constants.h"
#include "winutil.h"

TEST(LoadPayload, RealPayloadLoadsAndIndexEndsAtArchiveSize)
{
    InProcessSetup setup;
    SetupState &state = setup.State();
    ASSERT_EQ(LoadPayload(&state), 0u);
    EXPECT_EQ(state.payloadResourceSize, PayloadResourceSize);
    EXPECT_NE(state.payloadResource, nullptr);
    EXPECT_EQ(state.entries[0].offset, 132u);
    EXPECT_EQ(state.entries[10].offset + state.entries[10].size, PayloadArchiveSize);
    EXPECT_EQ(state.payload.length, PayloadBufferSize);
    EXPECT_EQ(ComputePayloadChecksum(state.payload.data, PayloadArchiveSize), PayloadChecksum);
}
