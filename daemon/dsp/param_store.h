// The DSP parameters and their persistence files.
#pragma once

#include "daemon/server/result.h"
#include "protocol/dsp_mailbox.h"

// What start-up and DEFAULTS store in parameter 13.
inline constexpr int kDspParam13Value = 5629;

// Writes and verifies a parameter, then keeps its value in its file
// ("dspparam<N>", 2 bytes little-endian). 0; the failure of dsp_set; kResultNotSaved when
// the file could not be written; -errno when it could not be created.
int dsp_store(unsigned param, int value);

// Writes a parameter's kept value back into the DSP, when it has a file of at
// least 2 bytes (the parameters that are never kept have none). Whatever
// fails leaves the DSP's own value in place.
void dsp_restore(unsigned param);
