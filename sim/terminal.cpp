#include "sim/terminal.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr const char* kEnter = "\x1b[?1049h\x1b[?25l\x1b[2J";  // alternate screen, no cursor
constexpr const char* kLeave = "\x1b[0m\x1b[?25h\x1b[?1049l";
}  // namespace

int visible_width(const std::string& line) {
  int width = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
      i += 2;
      while (i < line.size() && !(line[i] >= 0x40 && line[i] <= 0x7e)) ++i;
      continue;
    }
    ++width;
  }
  return width;
}

Terminal::Terminal(int in, int out) : in_(in), out_(out) {
  if (isatty(in_) && tcgetattr(in_, &saved_) == 0) {
    input_is_terminal_ = true;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    // Ctrl-Z would leave the terminal in our alternate screen.
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    tcsetattr(in_, TCSANOW, &raw);
  }
  write_all(kEnter);
}

Terminal::~Terminal() {
  write_all(kLeave);
  if (input_is_terminal_) tcsetattr(in_, TCSANOW, &saved_);
}

void Terminal::size(int* width, int* height) const {
  winsize ws{};
  if (ioctl(out_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    *width = ws.ws_col;
    *height = ws.ws_row;
  } else {
    *width = 80;
    *height = 24;
  }
}

bool Terminal::write_all(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(out_, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool Terminal::draw(const std::vector<std::string>& lines, int width) {
  const bool fresh = width != shown_width_ || lines.size() != shown_.size();
  std::string frame = fresh ? "\x1b[2J" : "";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!fresh && lines[i] == shown_[i]) continue;
    frame += "\x1b[" + std::to_string(i + 1) + ";1H" + lines[i];
    // A full line leaves the cursor waiting to wrap, where clearing would
    // take its last character with it.
    if (visible_width(lines[i]) < width) frame += "\x1b[K";
  }
  shown_ = lines;
  shown_width_ = width;
  return frame.empty() || write_all(frame);
}

int Terminal::key(int timeout_ms) const {
  if (!input_is_terminal_) {
    poll(nullptr, 0, timeout_ms);
    return -1;
  }
  pollfd fd{in_, POLLIN, 0};
  if (poll(&fd, 1, timeout_ms) != 1) return -1;
  unsigned char c;
  if (read(in_, &c, 1) == 1) return c;
  poll(nullptr, 0, timeout_ms);  // hung up: no key will come, but keep the pace
  return -1;
}

}  // namespace sim
