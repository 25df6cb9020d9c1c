// How the daemon frames, splits and refuses requests, and what it logs.

#include "tests/appliance.h"

namespace {

using Framing = StartedAppliance;

TEST_F(Framing, OneTrailingSpaceIsToleratedTwoAreNot) {
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
  EXPECT_EQ(ask("VERSION \r"), kVersionAck);
  expect_refused({"VERSION  \r", "VERSION   \r"});
  EXPECT_TRUE(messages().empty()) << "space faults are refused without a log line";
}

TEST_F(Framing, KeywordsAreExactAndCaseSensitiveAndUnknownOnesAreLogged) {
  expect_refused({"version\r", "FOO\r", "VERSIONX\r", "\r", " VERSION\r"});
  EXPECT_EQ(messages(5),
            (std::vector<std::string>{
                logged(kLogInvalidCommand, "version"), logged(kLogInvalidCommand, "FOO"),
                logged(kLogInvalidCommand, "VERSIONX"), logged(kLogInvalidCommand, ""),
                logged(kLogInvalidCommand, "")}));
}

TEST_F(Framing, RequestsMustEndInCarriageReturn) {
  expect_refused({"VERSION", "VERSION\r\n", "VERSION\n", ""});
  EXPECT_EQ(messages(4), std::vector<std::string>(4, logged(kLogNoCarriageReturn)));
}

TEST_F(Framing, DoubleSpacesAreRefusedOnlyBeforeTheTenthToken) {
  expect_refused({"VERSION  x\r", "A B C D E F G H I  J K\r"});
  // Both were refused while splitting, before the keyword was looked up.
  EXPECT_TRUE(messages().empty());
  // Inside the tenth token spaces are text: the split succeeds and the
  // keyword is looked up (and refused).
  EXPECT_EQ(ask("A B C D E F G H I J  K\r"), "NACK A B C D E F G H I J  K\r");
  EXPECT_EQ(messages(1), std::vector<std::string>{logged(kLogInvalidCommand, "A")});
}

TEST_F(Framing, TextEndsAtTheFirstNulByte) {
  EXPECT_EQ(ask(std::string("VERSION\0x\r", 10)), kVersionAck);
  EXPECT_EQ(ask(std::string("FOO\0x\r", 6)), "NACK FOO");
  EXPECT_EQ(ask(std::string("\0VERSION\r", 9)), "NACK ");
}

TEST_F(Framing, LongRequestsAreCutAndEchoedWithinTheBuffer) {
  // Longer than a receive takes: the CR is cut off.
  const std::string oversized = std::string(3000, 'A') + "\r";
  const std::string reply = ask(oversized);
  ASSERT_EQ(reply.size(), 2047u);
  EXPECT_EQ(reply, "NACK " + std::string(2042, 'A'));
  EXPECT_TRUE(box->wait_log(logged(kLogNoCarriageReturn), 3s));

  // Exactly a receive's worth, with its CR: refused as unknown, echo cut.
  const std::string full = std::string(2046, 'B') + "\r";
  EXPECT_EQ(ask(full), "NACK " + std::string(2042, 'B'));
}

TEST_F(Framing, EveryLineIsAnErrorOfTheDaemonFacility) {
  ask("FOO\r");
  ask("BAR");
  ASSERT_TRUE(box->wait_log(logged(kLogNoCarriageReturn), 3s));
  const std::vector<sim::LogEntry> log = box->log();
  ASSERT_EQ(log.size(), 2u);
  for (const sim::LogEntry& entry : log) {
    EXPECT_EQ(entry.priority, 27) << entry.message;  // LOG_DAEMON | LOG_ERR
    EXPECT_EQ(entry.ident, "orvo-udpd");
  }
}

// Arguments to a command that takes none: refused before it does anything.
TEST_F(Framing, CommandsWithoutArgumentsRefuseAnyWithoutALogLine) {
  dsp_standin_clear_requests(dsp);
  expect_refused({"VERSION 1\r", "VERSION 2\r", "DSPSTATUS 1\r", "MICTEST 1\r", "DEFAULTS 1\r",
                  "FU 1\r", "IMPRESS 1\r"});
  EXPECT_TRUE(dsp_standin_requests(dsp).empty()) << "the DSP was asked";
  EXPECT_EQ(led_colours(), every_led("0 255 0")) << "the LEDs changed";
  EXPECT_TRUE(messages().empty());
}

}  // namespace
