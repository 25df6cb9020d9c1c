// orvo-udpc: the bytes it sends, what it prints, how it ends.

#include <arpa/inet.h>
#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/protocol.h"
#include "tests/appliance.h"

namespace {

// A stand-in for the daemon on its port in the jail's network: records
// what the client sends and answers with a given text (or stays silent).
class Listener {
 public:
  explicit Listener(const sim::Sandbox& box) : fd_(box.open_udp()) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(orvo::kControlPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Listener() { close(fd_); }
  bool bound() const { return bound_; }

  // Receives one datagram and, unless the reply is empty, answers it.
  std::string serve(const std::string& reply) const {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return "<nothing>";
    char buffer[4096];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got =
        recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (!reply.empty())
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    return std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
  }

 private:
  int fd_;
  bool bound_ = false;
};

class Client : public Appliance {
 protected:
  // Runs the client against a listener; returns what went on the wire.
  std::string sent_by(const std::vector<std::string>& args, const std::string& reply,
                      sim::RunResult* run) {
    Listener listener(*box);
    EXPECT_TRUE(listener.bound());
    auto result = std::async(std::launch::async, [&] { return client(args); });
    const std::string wire = listener.serve(reply);
    *run = result.get();
    return wire;
  }
};

TEST_F(Client, JoinsWordsWithSpacesAndEndsWithCarriageReturn) {
  sim::RunResult run;
  EXPECT_EQ(sent_by({"127.0.0.1", "VERSION"}, "ACK VERSION x\r", &run), "VERSION\r");
  EXPECT_EQ(run.out, "ACK VERSION x\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(sent_by({"localhost", "EQ", "1", "-3"}, "ACK EQ 1 -3\r", &run), "EQ 1 -3\r");
  // The words after the host are the request's, even those that begin with '-'.
  EXPECT_EQ(sent_by({"-t", "3", "127.0.0.1", "EQ", "1", "-3"}, "ACK EQ 1 -3\r", &run), "EQ 1 -3\r");
  EXPECT_EQ(run.out, "ACK EQ 1 -3\n");
  EXPECT_EQ(sent_by({"127.0.0.1", "EQ 1 -3"}, "ACK EQ 1 -3\r", &run), "EQ 1 -3\r");
  EXPECT_EQ(sent_by({"127.0.0.1", "EQ", "", "1"}, "NACK EQ  1\r", &run), "EQ  1\r");
  EXPECT_EQ(run.out, "NACK EQ  1\n");
}

TEST_F(Client, PrintsTheReplyUpToItsFirstCarriageReturn) {
  sim::RunResult run;
  sent_by({"127.0.0.1", "GRGB", "0"}, "ACK one\rtwo\rthree\r", &run);
  EXPECT_EQ(run.out, "ACK one\n");
  sent_by({"127.0.0.1", "GRGB", "0"}, "no terminator", &run);
  EXPECT_EQ(run.out, "no terminator\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST_F(Client, TalksToTheDaemon) {
  start();
  sim::RunResult run = client({"127.0.0.1", "VERSION"});
  EXPECT_EQ(run.out, "ACK VERSION 1.0.0-sim\n");
  EXPECT_EQ(run.status, 0);
  run = client({"127.0.0.1", "FOO"});
  EXPECT_EQ(run.out, "NACK FOO\n");
  EXPECT_EQ(run.status, 0) << "a refusal is still a reply";
}

TEST_F(Client, FailsWhenItCannotPrintTheReply) {
  start();
  // Standard output on a full disk.
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
  argv.insert(argv.end(), sim::programs().prefix.begin(), sim::programs().prefix.end());
  argv.insert(argv.end(), {sim::programs().client, "127.0.0.1", "VERSION"});
  const sim::RunResult run = box->run_in_network(argv, 20s);
  EXPECT_EQ(run.err, "cannot print the reply (No space left on device)\n");
  EXPECT_EQ(run.status, (-ENOSPC) & 0xFF);
}

TEST_F(Client, GivesUpTwelveSecondsAfterSending) {
  Listener silent(*box);
  ASSERT_TRUE(silent.bound());
  const sim::RunResult run = client({"127.0.0.1", "VERSION"}, 30s);
  EXPECT_EQ(run.err, "recvfrom failed (Resource temporarily unavailable)\n");
  EXPECT_EQ(run.status, (-EAGAIN) & 0xFF);
  EXPECT_EQ(run.out, "");
  EXPECT_GE(run.elapsed, 12s);
  EXPECT_LT(run.elapsed, 20s);
}

TEST_F(Client, GivesUpAfterTheTimeGivenWithT) {
  Listener silent(*box);
  ASSERT_TRUE(silent.bound());
  const sim::RunResult run = client({"-t", "0.5", "127.0.0.1", "VERSION"});
  EXPECT_EQ(run.err, "recvfrom failed (Resource temporarily unavailable)\n");
  EXPECT_EQ(run.status, (-EAGAIN) & 0xFF);
  EXPECT_GE(run.elapsed, 500ms);
  EXPECT_LT(run.elapsed, 10s);
}

TEST_F(Client, RefusesIncompleteOrImpossibleCommandLines) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"127.0.0.1"},
                                               {"no-such-host.invalid", "VERSION"},
                                               {"127.0.0.1", std::string(2046, 'A')},
                                               {"-t", "0", "127.0.0.1", "VERSION"},
                                               {"-t", "x", "127.0.0.1", "VERSION"},
                                               {"-t", "1.5s", "127.0.0.1", "VERSION"},
                                               {"-t", "-1", "127.0.0.1", "VERSION"}}) {
    const sim::RunResult run = client(args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err, "");
    EXPECT_EQ(run.out, "");
  }
  // The longest request that fits: 2045 characters and the CR.
  sim::RunResult run;
  EXPECT_EQ(sent_by({"127.0.0.1", std::string(2045, 'A')}, "ok\r", &run),
            std::string(2045, 'A') + "\r");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
