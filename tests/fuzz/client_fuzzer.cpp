// Fuzz target over what the client reads from outside, each input used three
// ways: as a settings file (commands_take), as a datagram that find receives
// (find_reply_version), and, split at its first line feed, as a request line
// and a datagram that may answer it (reply_match). No sockets and no files:
// it runs anywhere, under AddressSanitizer and UndefinedBehaviorSanitizer.
//
// Beside the sanitizers it checks what callers rely on:
//   - a file's commands are non-empty, trimmed, no comments, short enough for
//     a request, in ascending line order, and none holds a NUL or line feed;
//     a file with a NUL byte is refused;
//   - a version has no control characters;
//   - the daemon's NACK echo of a line is always taken as its refusal.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/exchange.h"
#include "client/fleet.h"
#include "client/parse.h"
#include "protocol/protocol.h"

namespace {

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "client_fuzzer: %s\n", what);
  abort();
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

void check_file(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  Commands commands{};
  Failure failure{};
  const int status = commands_take(text.data(), size, &commands, &failure);
  const bool has_nul = memchr(data, '\0', size) != nullptr;
  if (has_nul && status == kStatusOk) fail("a file with a NUL byte was taken");
  if (status != kStatusOk && status != kStatusUsage) fail("out of memory, or an unknown status");
  if (status == kStatusUsage && (failure.line < 1 || failure.reason == nullptr))
    fail("a refusal without its line and reason");
  for (int i = 0; status == kStatusOk && i < commands.count; ++i) {
    const char* line = commands.lines[i];
    const size_t length = strlen(line);
    if (length == 0 || line[0] == '#' || blank(line[0]) || blank(line[length - 1]))
      fail("a command is blank, a comment or not trimmed");
    if (length > orvo::kMaxDatagram - 2) fail("a command too long for a request");
    if (strchr(line, '\n') != nullptr) fail("a command holds a line feed");
    if (line < text.data() || line + length > text.data() + size)
      fail("a command outside the text");
    if (i > 0 && commands.numbers[i] <= commands.numbers[i - 1]) fail("line numbers not ascending");
  }
  free(commands.lines);
  free(commands.numbers);
}

void check_find(const uint8_t* data, size_t size) {
  // A receive takes at most kMaxDatagram bytes, and find ends them with a NUL.
  std::string reply(reinterpret_cast<const char*>(data),
                    size < orvo::kMaxDatagram ? size : orvo::kMaxDatagram);
  const char* version = find_reply_version(reply.data());
  for (const char* c = version; c != nullptr && *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < ' ') fail("a control character in a version");
  }
}

void check_match(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* feed = static_cast<const char*>(memchr(text, '\n', size));
  if (feed == nullptr) return;
  // The line as the exchange holds it: a C string, as long as a request allows.
  std::string line(text, static_cast<size_t>(feed - text));
  line.resize(strnlen(line.c_str(), orvo::kMaxDatagram - 2));
  const size_t rest = size - static_cast<size_t>(feed + 1 - text);
  std::string reply(feed + 1, rest < orvo::kMaxDatagram ? rest : orvo::kMaxDatagram);
  reply_match(line.c_str(), reply.c_str(), reply.size());

  // The daemon's refusal: "NACK " and the request, CR included, cut where its
  // reply buffer ends.
  std::string nack = "NACK " + line + orvo::kTerminator;
  if (nack.size() > orvo::kMaxDatagram) nack.resize(orvo::kMaxDatagram);
  if (!line.empty() && reply_match(line.c_str(), nack.c_str(), nack.size()) != kReplyNack)
    fail("the NACK echo of a line is not taken for its refusal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_file(data, size);
  check_find(data, size);
  check_match(data, size);
  return 0;
}
