// The forms in which the DSP keeps the null mask and the equalizer gains.

#include <gtest/gtest.h>

#include "daemon/dsp/mailbox.h"
#include "daemon/dsp/param_store.h"

namespace {

std::int16_t signed_form(std::uint16_t value) { return static_cast<std::int16_t>(value); }

TEST(DspEncoding, NullMaskMovesChannel15ToBit1) {
  EXPECT_EQ(dsp_encode(DSP_NULL_MASK, 0x8002), 0x0006);
  EXPECT_EQ(dsp_decode(DSP_NULL_MASK, 0x0006), 0x8002);
  // Bit 0 names no channel: it lands on channel 15's place.
  EXPECT_EQ(dsp_encode(DSP_NULL_MASK, 0x0001), 0x0002);
  EXPECT_EQ(dsp_decode(DSP_NULL_MASK, 0x0002), 0x8000);
  // DSP bit 0 is never reported; bits above 16 are dropped.
  EXPECT_EQ(dsp_decode(DSP_NULL_MASK, 0x0001), 0x0000);
  EXPECT_EQ(dsp_encode(DSP_NULL_MASK, 0x18002), 0x0006);
}

TEST(DspEncoding, Band0IsOffsetUpAndLimited) {
  EXPECT_EQ(dsp_encode(DSP_EQ_BAND0, -20), 0xFFED);
  EXPECT_EQ(signed_form(dsp_decode(DSP_EQ_BAND0, 0xFFED)), -20);
  EXPECT_EQ(dsp_encode(DSP_EQ_BAND0, 6), 7);
  EXPECT_EQ(dsp_encode(DSP_EQ_BAND0, 25), 20);
  EXPECT_EQ(signed_form(dsp_decode(DSP_EQ_BAND0, 0xFFEC)), -20);  // -20 - 1, limited
  EXPECT_EQ(signed_form(dsp_decode(DSP_EQ_BAND0, 0xFF00)), -20);
  // Narrowed before the limit: 65535 is -1, which the DSP keeps as 0.
  EXPECT_EQ(dsp_encode(DSP_EQ_BAND0, 65535), 0);
}

TEST(DspEncoding, Bands1And2AreOffsetDownAndLimited) {
  for (const unsigned band : {DSP_EQ_BAND1, DSP_EQ_BAND2}) {
    EXPECT_EQ(dsp_encode(band, -20), 0xFFEB);
    EXPECT_EQ(dsp_encode(band, -25), 0xFFEB);  // at least -21, not -20
    EXPECT_EQ(dsp_encode(band, 6), 5);
    EXPECT_EQ(signed_form(dsp_decode(band, 0xFFEB)), -20);
    EXPECT_EQ(signed_form(dsp_decode(band, 25)), 20);
    EXPECT_EQ(signed_form(dsp_decode(band, 0xFFFC)), -3);
    EXPECT_EQ(dsp_encode(band, 65535), 0xFFFE);  // -1 in 16 bits
  }
}

TEST(DspEncoding, OtherParametersPassUnchanged) {
  EXPECT_EQ(dsp_encode(DSP_PARAM_14, -1), 0xFFFF);
  EXPECT_EQ(dsp_decode(DSP_APT_MODE, 0xFFFF), 0xFFFF);
}

}  // namespace
