// Drives the DSP stand-in the way the daemon does: through a second shared
// mapping of the same mem file.
#include "sim/dsp_standin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Answer {
  bool done;
  std::uint16_t value;
  std::uint16_t error;
};

class DspStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/dsp_standin_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/mem";
    ASSERT_EQ(dsp_standin_make_mem(path_.c_str()), 0);
    const int fd = open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* window =
        mmap(nullptr, kDspWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kDspWindowAddress);
    close(fd);
    ASSERT_NE(window, MAP_FAILED);
    mailbox_ = static_cast<DspMailbox*>(window);

    DspStandinConfig config;
    config.mictest_ms = 200;
    config.mictest_result = 0x0005;
    config.status = 0x1234;
    dsp_ = dsp_standin_start(path_.c_str(), config);
    ASSERT_NE(dsp_, nullptr);
  }

  void TearDown() override {
    dsp_standin_stop(dsp_);
    if (mailbox_ != nullptr) munmap(mailbox_, kDspWindowSize);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }

  static std::atomic_ref<std::uint16_t> word(std::uint16_t& value) {
    return std::atomic_ref<std::uint16_t>(value);
  }

  Answer request(std::uint16_t direction, std::uint16_t param, std::uint16_t value,
                 int timeout_ms = 1000) {
    word(mailbox_->param).store(param, std::memory_order_relaxed);
    word(mailbox_->direction).store(direction, std::memory_order_relaxed);
    word(mailbox_->value).store(value, std::memory_order_relaxed);
    word(mailbox_->busy).store(kDspBusyStart, std::memory_order_release);
    for (int i = 0; i < timeout_ms; ++i) {
      if (word(mailbox_->busy).load(std::memory_order_acquire) == 0) {
        return {true, word(mailbox_->value).load(), word(mailbox_->error).load()};
      }
      std::this_thread::sleep_for(1ms);
    }
    return {false, word(mailbox_->value).load(), word(mailbox_->error).load()};
  }
  Answer read(std::uint16_t param) { return request(kDspDirectionRead, param, 0); }
  Answer write(std::uint16_t param, std::uint16_t value) {
    return request(kDspDirectionWrite, param, value);
  }

  std::string folder_, path_;
  DspMailbox* mailbox_ = nullptr;
  DspStandin* dsp_ = nullptr;
};

void expect_ok(const Answer& answer, std::uint16_t value) {
  EXPECT_TRUE(answer.done);
  EXPECT_EQ(answer.error, 0);
  EXPECT_EQ(answer.value, value);
}

TEST_F(DspStandinTest, ReadsInitialTableAndStoresWrites) {
  expect_ok(read(0), 1);
  expect_ok(read(6), 0xFFFF);
  expect_ok(read(10), 0x1234);

  EXPECT_EQ(write(6, 0xFFFE).error, 0);
  expect_ok(read(6), 0xFFFE);
  EXPECT_EQ(dsp_standin_value(dsp_, 6), 0xFFFE);

  dsp_standin_set_value(dsp_, 13, 5629);
  expect_ok(read(13), 5629);
}

TEST_F(DspStandinTest, RejectsUnknownAndReadOnlyParameters) {
  const auto before = dsp_standin_table(dsp_);
  for (const Answer& answer :
       {read(15), write(15, 3), write(9, 7), write(10, 7), request(2, 4, 1)}) {
    EXPECT_TRUE(answer.done);
    EXPECT_EQ(answer.error, kDspStandinBadParam);
  }
  EXPECT_EQ(dsp_standin_table(dsp_), before);
}

TEST_F(DspStandinTest, ErrorFaultAnswersCodeAndKeepsValue) {
  dsp_standin_set_fault(dsp_, 3, DspFault::error_code, 0x0042);
  EXPECT_EQ(write(3, 1).error, 0x0042);
  EXPECT_EQ(read(3).error, 0x0042);
  EXPECT_EQ(dsp_standin_value(dsp_, 3), 0);

  dsp_standin_set_fault(dsp_, 3, DspFault::none);
  EXPECT_EQ(write(3, 1).error, 0);
  expect_ok(read(3), 1);
}

TEST_F(DspStandinTest, HungRequestIsFollowedByServedOnes) {
  dsp_standin_set_fault(dsp_, 4, DspFault::hang);
  const Answer hung = request(1, 4, 2, 300);
  EXPECT_FALSE(hung.done);
  EXPECT_NE(word(mailbox_->busy).load(), 0);
  EXPECT_EQ(dsp_standin_value(dsp_, 4), 0);

  // Another parameter is served while 4 still hangs.
  expect_ok(read(0), 1);
  // The very same request words again, once the fault is gone.
  dsp_standin_set_fault(dsp_, 4, DspFault::none);
  EXPECT_EQ(write(4, 2).error, 0);
  expect_ok(read(4), 2);

  const auto log = dsp_standin_requests(dsp_);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_TRUE(log[0].hung);
  EXPECT_EQ(log[0].param, 4);
  EXPECT_FALSE(log[2].hung);
}

TEST_F(DspStandinTest, ReadbackDiffersStoresButReadsOther) {
  dsp_standin_set_fault(dsp_, 8, DspFault::readback_differs);
  EXPECT_EQ(write(8, 1).error, 0);
  const Answer answer = read(8);
  EXPECT_EQ(answer.error, 0);
  EXPECT_NE(answer.value, 1);
  EXPECT_EQ(dsp_standin_value(dsp_, 8), 1);

  dsp_standin_set_fault(dsp_, 5, DspFault::readback_differs);
  EXPECT_EQ(write(5, 0xFFFF).error, 0);
  expect_ok(read(5), 0);
}

TEST_F(DspStandinTest, MicTestFinishesAfterConfiguredTime) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write(8, 1).error, 0);
  expect_ok(read(8), 1);
  expect_ok(read(9), 0);
  // New settings apply to the next test only.
  dsp_standin_set_mictest(dsp_, 50, 0x0003);

  Answer answer{};
  for (int i = 0; i < 100; ++i) {
    answer = read(8);
    if (answer.value == 0) break;
    std::this_thread::sleep_for(20ms);
  }
  expect_ok(answer, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  expect_ok(read(9), 0x0005);

  EXPECT_EQ(write(8, 1).error, 0);
  expect_ok(read(8), 1);
  std::this_thread::sleep_for(150ms);
  expect_ok(read(9), 0x0003);
  // Writing 0 just stores 0.
  EXPECT_EQ(write(8, 0).error, 0);
  expect_ok(read(8), 0);
}

TEST_F(DspStandinTest, InstantMicTestStillReadsBackItsStart) {
  // However short the test, the read that verifies its start sees 1; the
  // test is over from then on.
  dsp_standin_set_mictest(dsp_, 0, 0x0007);
  EXPECT_EQ(write(8, 1).error, 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(dsp_standin_value(dsp_, 8), 1);
  expect_ok(read(8), 1);
  expect_ok(read(8), 0);
  expect_ok(read(9), 0x0007);
}

TEST_F(DspStandinTest, NeverFinishingTestEndsOnceFaultCleared) {
  dsp_standin_set_fault(dsp_, 8, DspFault::test_never_finishes);
  EXPECT_EQ(write(8, 1).error, 0);
  std::this_thread::sleep_for(400ms);
  expect_ok(read(8), 1);
  expect_ok(read(9), 0);

  dsp_standin_set_fault(dsp_, 8, DspFault::none);
  std::this_thread::sleep_for(20ms);
  expect_ok(read(8), 0);
  expect_ok(read(9), 0x0005);
}

TEST_F(DspStandinTest, LogsRequestsInOrder) {
  dsp_standin_set_fault(dsp_, 2, DspFault::error_code, 0x0007);
  write(1, 0);
  read(1);
  write(2, 1);
  read(20);

  const auto log = dsp_standin_requests(dsp_);
  ASSERT_EQ(log.size(), 4u);
  const std::uint16_t want[4][4] = {{1, 1, 0, 0}, {0, 1, 0, 0}, {1, 2, 1, 7}, {0, 20, 0, 0x16}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log[i].direction, want[i][0]);
    EXPECT_EQ(log[i].param, want[i][1]);
    EXPECT_EQ(log[i].value, want[i][2]);
    EXPECT_EQ(log[i].error, want[i][3]);
    EXPECT_FALSE(log[i].hung);
  }
  dsp_standin_clear_requests(dsp_);
  EXPECT_TRUE(dsp_standin_requests(dsp_).empty());
}

TEST(DspStandinStart, RefusesTooShortMemFile) {
  char path[] = "/tmp/dsp_standin_short.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  errno = 0;
  EXPECT_EQ(dsp_standin_start(path, {}), nullptr);
  EXPECT_EQ(errno, EINVAL);
  unlink(path);
}

}  // namespace
