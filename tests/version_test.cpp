// VERSION reports the platform's version line.

#include <dirent.h>

#include "tests/appliance.h"

namespace {

class Version : public Appliance {
 protected:
  void SetUp() override {
    Appliance::SetUp();
    start();
  }
  std::string version_with(const std::string& content) {
    box->write_file(kVersionPath, content);
    return ask("VERSION\r");
  }
  int open_descriptors() const {
    const std::string dir = "/proc/" + std::to_string(box->daemon_pid()) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return -1;
    int count = 0;
    while (readdir(fds) != nullptr) ++count;
    closedir(fds);
    return count;
  }
};

TEST_F(Version, ReportsTheLineBeforeItsLineFeed) {
  EXPECT_EQ(version_with("1.2.3\n"), "ACK VERSION 1.2.3\r");
  EXPECT_EQ(version_with("build 7\nsecond\n"), "ACK VERSION build 7\nsecond\r");
  const std::string longest(63, 'v');
  EXPECT_EQ(version_with(longest + "\n"), "ACK VERSION " + longest + "\r");
}

TEST_F(Version, MalformedOrMissingFilesAreRefused) {
  EXPECT_EQ(version_with("1.2.3"), "NACK VERSION\r");
  EXPECT_EQ(version_with(""), "NACK VERSION\r");
  EXPECT_EQ(version_with(std::string(64, 'v') + "\n"), "NACK VERSION\r");
  box->remove_file(kVersionPath);
  EXPECT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  EXPECT_EQ(ask("VERSION 2\r"), "NACK VERSION 2\r");
  EXPECT_TRUE(messages().empty()) << "VERSION logs nothing";
}

TEST_F(Version, FailuresDoNotLeakDescriptors) {
  box->write_file(kVersionPath, "no line feed");
  ask("VERSION\r");
  const int before = open_descriptors();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  box->remove_file(kVersionPath);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ask("VERSION\r"), "NACK VERSION\r");
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
