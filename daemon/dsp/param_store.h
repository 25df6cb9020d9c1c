// The DSP parameters and their persistence files.
#pragma once

inline constexpr unsigned DSP_TRACKING = 0;
inline constexpr unsigned DSP_NOISE = 1;
inline constexpr unsigned DSP_APT_ENABLE = 2;
inline constexpr unsigned DSP_EQ_ENABLE = 3;
inline constexpr unsigned DSP_NULL_COUNT = 4;
inline constexpr unsigned DSP_EQ_BAND0 = 5;
inline constexpr unsigned DSP_EQ_BAND1 = 6;
inline constexpr unsigned DSP_EQ_BAND2 = 7;
inline constexpr unsigned DSP_MICTEST = 8;
inline constexpr unsigned DSP_MICTEST_RESULT = 9;
inline constexpr unsigned DSP_STATUS = 10;
inline constexpr unsigned DSP_APT_MODE = 11;
inline constexpr unsigned DSP_NULL_MASK = 12;
inline constexpr unsigned DSP_PARAM_13 = 13;
inline constexpr unsigned DSP_PARAM_14 = 14;
inline constexpr unsigned kDspParamCount = 15;

// Writes and verifies a parameter, then keeps its value in its file
// ("dspparam<N>", 2 bytes little-endian). 0; the failure of dsp_set; -1 when
// the file could not be written; -errno when it could not be created.
int dsp_store(unsigned param, int value);

// Writes a parameter's kept value back into the DSP, when it has a file of at
// least 2 bytes (the parameters that are never kept have none). Whatever
// fails leaves the DSP's own value in place.
void dsp_restore(unsigned param);
