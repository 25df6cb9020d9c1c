#include "tests/appliance.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (const int value : values) text.push_back(static_cast<char>(value));
  return text;
}

namespace {

// The whole text, however long (an invalid keyword may take 2 KB).
std::string format_all(const char* message, va_list values) {
  va_list again;
  va_copy(again, values);
  const int length = vsnprintf(nullptr, 0, message, values);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, message, again);
  va_end(again);
  return text;
}

}  // namespace

std::string logged(const char* message, ...) {
  va_list values;
  va_start(values, message);
  std::string text = format_all(message, values);
  va_end(values);
  return text;
}

std::string logged_error(int error, const char* message, ...) {
  va_list values;
  va_start(values, message);
  errno = error;  // glibc's printf gives "%m" the text of errno, as syslog does
  std::string text = format_all(message, values);
  va_end(values);
  return text;
}

std::string le16(int value) { return bytes({value & 0xFF, (value >> 8) & 0xFF}); }

std::string default_led_image() {
  std::string image(kLedImageSize, '\0');
  for (int channel = 1; channel <= kLedCount; ++channel) {
    for (int component = 0; component < 3; ++component) image[led_flag_at(channel, component)] = 1;
    image[led_level_at(channel, 1)] = static_cast<char>(255);
  }
  return image;
}

std::vector<std::string> every_led(const std::string& colour) {
  return std::vector<std::string>(kLedCount, colour);
}

std::vector<int> leds_but(const std::vector<int>& except) {
  std::vector<int> rest;
  for (int led = 1; led <= kLedCount; ++led) {
    if (std::find(except.begin(), except.end(), led) == except.end()) rest.push_back(led);
  }
  return rest;
}

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
  ASSERT_NO_FATAL_FAILURE(launch(args));
  ASSERT_TRUE(box->wait_listening(30s)) << "the daemon never bound its port";
  // It binds before it stores parameter 13, and serves only once that is done.
  if (box->request("VERSION\r", 10s).has_value()) return;
  // Say why: a daemon that ended at start-up has logged its reason.
  std::string logged;
  for (const sim::LogEntry& entry : box->log()) logged += "\n  " + entry.message;
  FAIL() << "the daemon does not answer (" << (box->daemon_pid() > 0 ? "running" : "not running")
         << "); its log:" << logged;
}

void Appliance::launch(const std::vector<std::string>& args, int receive_error) {
  std::string error;
  ASSERT_TRUE(box->start_daemon(args, &error, receive_error)) << error;
}

int Appliance::exit_status(const std::vector<std::string>& args, int receive_error) {
  launch(args, receive_error);
  return box->wait_daemon_exit(10s).value_or(-1);
}

std::vector<std::string> Appliance::descriptors() const {
  std::vector<std::string> open;
  std::error_code error;
  const std::string folder = "/proc/" + std::to_string(box->daemon_pid()) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    open.push_back(entry.path().filename().string() + " -> " + sim::read_link(entry.path()));
  }
  std::sort(open.begin(), open.end());
  return open;
}

std::string Appliance::ask(const std::string& datagram) const {
  return box->request(datagram).value_or("<no reply>");
}

void Appliance::expect_refused(const std::vector<std::string>& requests) const {
  for (const std::string& request : requests) EXPECT_EQ(ask(request), "NACK " + request);
}

Appliance::Timed Appliance::ask_timed(const std::string& datagram,
                                      std::chrono::milliseconds timeout) const {
  const auto asked = std::chrono::steady_clock::now();
  const std::string reply = box->request(datagram, timeout).value_or("<no reply>");
  return {reply, std::chrono::steady_clock::now() - asked};
}

std::vector<std::string> Appliance::messages() const {
  std::vector<std::string> texts;
  for (const sim::LogEntry& entry : box->log()) texts.push_back(entry.message);
  return texts;
}

std::vector<std::string> Appliance::messages(size_t count,
                                             std::chrono::milliseconds timeout) const {
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

std::string Appliance::param_file(unsigned param) const {
  return box->read_file(sim::dsp_param_path(param));
}

std::uint16_t Appliance::dsp_value(unsigned param) const { return dsp_standin_value(dsp, param); }

std::vector<unsigned> Appliance::dsp_writes() const {
  std::vector<unsigned> written;
  for (const DspRequest& request : dsp_standin_requests(dsp)) {
    if (request.direction == kDspDirectionWrite) written.push_back(request.param);
  }
  return written;
}

std::string Appliance::led_colour(int led) const {
  return box->read_file(sim::brightness_path(led, 'r')) + " " +
         box->read_file(sim::brightness_path(led, 'g')) + " " +
         box->read_file(sim::brightness_path(led, 'b'));
}

std::vector<std::string> Appliance::led_colours() const {
  std::vector<std::string> colours;
  for (int led = 1; led <= kLedCount; ++led) colours.push_back(led_colour(led));
  return colours;
}

std::vector<int> Appliance::leds_showing(const std::string& colour) const {
  std::vector<int> found;
  for (int led = 1; led <= kLedCount; ++led) {
    if (led_colour(led) == colour) found.push_back(led);
  }
  return found;
}

void Appliance::fill_leds(const std::string& text) const {
  for (int led = 1; led <= kLedCount; ++led) {
    for (const char component : {'r', 'g', 'b'}) {
      box->write_file(sim::brightness_path(led, component), text);
    }
  }
}
