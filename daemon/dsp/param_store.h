// The DSP parameters and their persistence files.
#pragma once

#include "protocol/dsp_mailbox.h"

// Writes and verifies a parameter, then keeps its value in its file
// ("dspparam<N>", 2 bytes little-endian). 0; the failure of dsp_set; -1 when
// the file could not be written; -errno when it could not be created.
int dsp_store(unsigned param, int value);

// Writes a parameter's kept value back into the DSP. 0 (also for the
// parameters that are never kept); the failure of dsp_set; -1 when the file
// holds fewer than 2 bytes; -errno when it cannot be opened.
int dsp_restore(unsigned param);
