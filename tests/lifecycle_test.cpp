// How the daemon starts, detaches, and ends.

#include <cerrno>

#include "tests/appliance.h"

namespace {

using Lifecycle = Appliance;

TEST_F(Lifecycle, DetachesAndServesUntilKilled) {
  start();
  const pid_t pid = box->daemon_pid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");
  // Detached: the keeper has seen its first process leave, the daemon stays.
  EXPECT_FALSE(box->wait_daemon_exit(200ms).has_value());
  ASSERT_TRUE(box->kill_daemon());
  EXPECT_EQ(ask("VERSION\r"), "<no reply>");
  // And it comes back on a restart.
  start();
  EXPECT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");
}

TEST_F(Lifecycle, SecondDaemonExitsWhenThePortIsTaken) {
  start();
  std::string error;
  ASSERT_TRUE(box->start_daemon({"notest"}, &error)) << error;
  const std::optional<int> status = box->wait_daemon_exit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, (-EADDRINUSE) & 0xFF);
  EXPECT_TRUE(box->wait_log("bind() failed (Address already in use)... exiting\n", 3s));
  // The first one goes on serving.
  EXPECT_EQ(ask("VERSION\r"), "ACK VERSION 1.0.0-sim\r");
}

TEST_F(Lifecycle, TenFailedReceivesEndTheDaemon) {
  std::string error;
  ASSERT_TRUE(box->start_daemon({"notest"}, &error, ENOMEM)) << error;
  const std::optional<int> status = box->wait_daemon_exit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, (-ENOMEM) & 0xFF);
  ASSERT_TRUE(box->wait_log("max (10) recvfrom() fails reached... exiting\n", 3s));
  std::vector<std::string> expected(10, "recvfrom() failed (Cannot allocate memory)\n");
  expected.push_back("max (10) recvfrom() fails reached... exiting\n");
  EXPECT_EQ(messages(), expected);
}

}  // namespace
