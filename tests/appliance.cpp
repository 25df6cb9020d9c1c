#include <cerrno>
#include <cstring>
#include <thread>

#include "tests/appliance.h"

void Appliance::SetUp() {
  std::string error;
  box = sim::Sandbox::create(options(), &error);
  // Never skip: a test that cannot get its appliance has failed.
  ASSERT_TRUE(box) << "cannot make the appliance sandbox: " << error;
  if (options().dev_mem) {
    dsp = dsp_standin_start(box->host_path(kPhysicalMemoryPath).c_str(), dsp_config());
    ASSERT_NE(dsp, nullptr) << "cannot start the DSP stand-in: " << strerror(errno);
  }
}

void Appliance::TearDown() {
  if (box) box->kill_daemon();
  dsp_standin_stop(dsp);
  dsp = nullptr;
}

void Appliance::start(const std::vector<std::string>& args) {
  std::string error;
  ASSERT_TRUE(box->start_daemon(args, &error)) << error;
  ASSERT_TRUE(box->wait_listening(30s)) << "the daemon never bound its port";
}

std::string Appliance::ask(const std::string& datagram) const {
  return box->request(datagram).value_or("<no reply>");
}

std::vector<std::string> Appliance::messages() const {
  std::vector<std::string> texts;
  for (const sim::LogEntry& entry : box->log()) texts.push_back(entry.message);
  return texts;
}

std::vector<std::string> Appliance::messages(size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> texts = messages();
  while (texts.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    texts = messages();
  }
  return texts;
}

sim::RunResult Appliance::client(const std::vector<std::string>& args,
                                 std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv = sim::programs().prefix;
  argv.push_back(sim::programs().client);
  argv.insert(argv.end(), args.begin(), args.end());
  return box->run_in_network(argv, timeout);
}
