// VERSION reports the platform's version line.

#include "tests/appliance.h"

namespace {

class Version : public StartedAppliance {
 protected:
  std::string version_with(const std::string& content) {
    box->write_file(kVersionPath, content);
    return ask("VERSION\r");
  }
};

TEST_F(Version, ReportsTheLineBeforeItsLineFeed) {
  EXPECT_EQ(version_with("1.2.3\n"), "ACK VERSION 1.2.3\r");
  EXPECT_EQ(version_with("build 7\nsecond\n"), "ACK VERSION build 7\nsecond\r");
  const std::string longest(63, 'v');
  EXPECT_EQ(version_with(longest + "\n"), "ACK VERSION " + longest + "\r");
}

TEST_F(Version, MalformedOrMissingFilesAreRefusedWithoutALogLine) {
  EXPECT_EQ(version_with("1.2.3"), "NACK VERSION\r");
  EXPECT_EQ(version_with(""), "NACK VERSION\r");
  EXPECT_EQ(version_with(std::string(64, 'v') + "\n"), "NACK VERSION\r");
  box->remove_file(kVersionPath);
  EXPECT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  EXPECT_TRUE(messages().empty()) << "VERSION logs nothing";
}

TEST_F(Version, FailuresDoNotLeakDescriptors) {
  box->write_file(kVersionPath, "no line feed");
  ask("VERSION\r");
  const std::vector<std::string> before = descriptors();
  ASSERT_FALSE(before.empty());
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  box->remove_file(kVersionPath);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
