// The live view's terminal: the alternate screen without cursor or echo for
// as long as the object lives, and frames drawn over the previous one.
#pragma once

#include <string>
#include <termios.h>
#include <vector>

namespace sim {

class Terminal {
 public:
  // Takes over the terminal on `out` (input from `in` when that is a
  // terminal too: echo off, Ctrl-Z off, keys readable one at a time).
  Terminal(int in, int out);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Columns and rows (80 x 24 when the terminal does not tell).
  void size(int* width, int* height) const;
  // Draws a frame over the previous one: each changed line is overwritten
  // in place and cleared to its end; the whole screen is cleared only after
  // a change of size. Writes nothing when the frame is unchanged.
  // False once the terminal cannot be written any more.
  bool draw(const std::vector<std::string>& lines, int width);
  // Waits up to timeout_ms for a key; returns it, or -1.
  int key(int timeout_ms) const;

 private:
  bool write_all(const std::string& text);

  int in_;
  int out_;
  bool input_is_terminal_ = false;
  termios saved_{};
  std::vector<std::string> shown_;
  int shown_width_ = -1;
};

// Number of columns `line` takes, leaving out its escape sequences.
int visible_width(const std::string& line);

}  // namespace sim
