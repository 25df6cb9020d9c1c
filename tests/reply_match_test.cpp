// Which datagram answers which request line, when the client sends lines again.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/exchange.h"

namespace {

ReplyMatch match(const std::string& line, const std::string& reply) {
  return reply_match(line.c_str(), reply.c_str(), reply.size());
}

TEST(ReplyMatch, TellsTheAnswerFromLateDuplicatesOfOtherLines) {
  struct Case {
    const char* line;
    const char* reply;
    ReplyMatch expected;
  };
  const Case cases[] = {
      // Arguments echoed as received.
      {"STS 3 R=1", "ACK STS 3 R=1\r", kReplyAck},
      {"STS 3 R=1", "ACK STS 4 R=1\r", kReplyOther},
      {"STS 3 R=1 ", "ACK STS 3 R=1\r", kReplyAck},
      {"SRGB 0 1 2 3", "ACK SRGB 0 1 2 4\r", kReplyOther},
      // Arguments parsed and printed, narrowed to 16 or 8 bits.
      {"EQ 1 -3", "ACK EQ 1 -3\r", kReplyAck},
      {"EQ 1 -3", "ACK EQ 0 -20\r", kReplyOther},
      {"EQ 0 65535", "ACK EQ 0 -1\r", kReplyAck},
      {"NULLMASK 65542", "ACK NULLMASK 6\r", kReplyAck},
      {"ACTNULCOL 256 -1 0 0 0 0", "ACK ACTNULCOL 0 255 0 0 0 0\r", kReplyAck},
      {"TRACKING x", "ACK TRACKING 0\r", kReplyAck},
      {"TRACKING 1", "ACK TRACKING 0\r", kReplyOther},
      // Reads answer with values of their own.
      {"TRACKING", "ACK TRACKING 1\r", kReplyAck},
      {"EQ 2", "ACK EQ 2 -7\r", kReplyAck},
      {"EQ 2", "ACK EQ 1 0\r", kReplyOther},
      {"GRGB 0", "ACK GRGB 0 CH1 0 255 0\r", kReplyAck},
      {"GRGB 3", "ACK GRGB 2 CH3 1 2 3\r", kReplyAck},
      {"GRGB 3", "ACK GRGB 2 CH4 1 2 3\r", kReplyOther},
      {"GRGB 20", "ACK GRGB 2\r", kReplyAck},
      // Keywords compare whole.
      {"NULL 3", "ACK NULLMASK 3\r", kReplyOther},
      {"NULLMASK", "ACK NULL 0\r", kReplyOther},
      // A refusal echoes the request exactly, CR included.
      {"TRACKING 2", "NACK TRACKING 2\r", kReplyNack},
      {"TRACKING 2", "NACK TRACKING 1\r", kReplyOther},
      {"TRACKING 2", "NACK TRACKING 2", kReplyOther},
      {"TRACKING 2", "NACK TRACKING 2 \r", kReplyOther},
      {"FOO", "ACK FOO\r", kReplyAck},
      {"VERSION", "hello", kReplyOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match(c.line, c.reply), c.expected)
        << "[" << c.line << "] answered [" << c.reply << "]";
  }
  // A long request comes back cut where the daemon's reply buffer ends.
  const std::string line = "STS 1 " + std::string(2039, 'x');
  EXPECT_EQ(match(line, ("NACK " + line + "\r").substr(0, 2047)), kReplyNack);
  EXPECT_EQ(match(line, ("NACK " + line + "\r").substr(0, 2046)), kReplyOther);
}

}  // namespace
