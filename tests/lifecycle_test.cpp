// How the daemon starts, detaches, and ends.

#include <cerrno>

#include "tests/appliance.h"

namespace {

using Lifecycle = Appliance;

TEST_F(Lifecycle, DetachesServesUntilKilledAndServesAgainAfterARestart) {
  start();
  ASSERT_GT(box->daemon_pid(), 0);
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
  // Detached: the keeper has seen its first process leave, the daemon stays.
  EXPECT_FALSE(box->wait_daemon_exit(200ms).has_value());
  ASSERT_TRUE(box->kill_daemon());
  EXPECT_EQ(ask("VERSION\r"), "<no reply>");
  start();
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
}

TEST_F(Lifecycle, SecondDaemonExitsWhenThePortIsTaken) {
  start();
  EXPECT_EQ(exit_status(), (-EADDRINUSE) & 0xFF);
  EXPECT_TRUE(box->wait_log(logged_error(EADDRINUSE, kLogBindFailed), 3s));
  // The first one goes on serving.
  EXPECT_EQ(ask("VERSION\r"), kVersionAck);
}

TEST_F(Lifecycle, TenFailedReceivesEndTheDaemon) {
  EXPECT_EQ(exit_status({"notest"}, ENOMEM), (-ENOMEM) & 0xFF);
  ASSERT_TRUE(box->wait_log(logged(kLogTooManyReceiveFailures), 3s));
  std::vector<std::string> expected(10, logged_error(ENOMEM, kLogReceiveFailed));
  expected.push_back(logged(kLogTooManyReceiveFailures));
  EXPECT_EQ(messages(), expected);
}

}  // namespace
