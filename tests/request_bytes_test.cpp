// Requests carrying bytes above 0x7F. char is signed on the host and unsigned
// on the appliance; the daemon must frame, refuse, echo and log such bytes
// alike on both, byte for byte.

#include "tests/appliance.h"

namespace {

using RequestBytes = StartedAppliance;

TEST_F(RequestBytes, AreRefusedEchoedAndLoggedUnchanged) {
  // 0x8D and 0xA0 are CR and space with the top bit set: neither ends a
  // request nor trails it.
  expect_refused({"VERSION\x8D", "VERSION\xA0\r", "\xC1\x56\r", "\x80VERSION\r", "VERSION \xFF\r"});
  EXPECT_EQ(messages(), (std::vector<std::string>{
                            logged(kLogNoCarriageReturn),
                            logged(kLogInvalidCommand, "VERSION\xA0"),
                            logged(kLogInvalidCommand, "\xC1\x56"),
                            logged(kLogInvalidCommand, "\x80VERSION"),
                        }));
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
}

}  // namespace
