#include "payload.h"

#include "payload_constants.h"
#include "resource.h"
#include "setup.h"

UINT32 LoadPayload(SetupState *state)
{
    state->payloadResource = nullptr;
    state->payloadResourceSize = 0;
    HRSRC resource = FindResourceW(state->instance, MAKEINTRESOURCEW(IDR_PAYLOAD), RT_RCDATA);
    if (resource) {
        state->payloadResourceSize = SizeofResource(state->instance, resource);
        if (state->payloadResourceSize != 0) {
            HGLOBAL loaded = LoadResource(state->instance, resource);
            if (loaded)
                state->payloadResource = static_cast<const BYTE *>(LockResource(loaded));
        }
    }
    if (!state->payloadResource || state->payloadResourceSize != PayloadResourceSize)
        return PayloadResourceMissing;

    const PayloadExpectation expected = {PayloadResourceSize, PayloadArchiveSize, PayloadChecksum};
    return LoadPayloadBytes(state->payloadResource, state->payloadResourceSize, &expected, &state->payload,
                            state->entries);
}
