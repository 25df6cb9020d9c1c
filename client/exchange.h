// Request lines to several appliances at once: each appliance gets its own
// lines in order with one request outstanding, all appliances in parallel in
// one poll() loop over non-blocking UDP sockets, one per appliance and
// connected to it: a datagram from any other address or port is never taken
// for its reply, nor for anybody else's.
//
// A request without a reply within its time-out is sent again, a bounded
// number of times, unless its command must not run twice (FU, IMPRESS,
// MICTEST, ID); those wait as long as all tries of another line would. A
// refusal is final. Lines that keep the daemon busy for long (MICTEST,
// IMPRESS, FU, DEFAULTS) get that time on top of the time-out.
//
// A refusal ends a peer's exchange, unless it is to go on past refusals: the
// refused line then has no reply (nullptr) and the next one is sent. A peer may have a
// deadline of its own, which ends its exchange however far it got.
#pragma once

#include <cstddef>
#include <netinet/in.h>

#include "client/fleet.h"

// A line or a reply split into words: each word is text[0, length) of the
// line, not NUL-terminated.
struct Token {
  const char* text;
  size_t length;
};
constexpr int kMaxLineTokens = 32;
// Splits text[0, length) at single spaces, as the daemon splits a request:
// one trailing space is dropped, two spaces in a row make an empty token.
// The number of tokens, at most kMaxLineTokens.
int tokens_split(const char* text, size_t length, Token* tokens);

// What a datagram (reply_length bytes, NUL-terminated) is to the request line
// it may answer (the line as sent, without its carriage return).
enum ReplyMatch {
  kReplyOther,  // not a reply to this line: a late duplicate, or noise
  kReplyAck,    // "ACK " + the line's keyword, echoing its arguments
  kReplyNack,   // "NACK " + the line exactly as sent
};
ReplyMatch reply_match(const char* line, const char* reply, size_t reply_length);

enum PeerOutcome { kPeerRunning, kPeerDone, kPeerRefused, kPeerSilent, kPeerError };

// How a line of a peer's exchange went: how many times it was sent, and
// when it ended (answered, refused or given up), on clock_ms().
struct LineRecord {
  int sends;
  long long end_ms;
};

struct Peer {
  // Set by the caller.
  sockaddr_in address;
  const char* const* lines;
  int line_count;
  char** replies;  // when set, receives a malloc'd copy of each line's reply
                   // (text before its CR); the caller frees them
  bool past_refusals;
  long long end_ms;     // on clock_ms(); 0 for none
  LineRecord* records;  // when set, receives a record for each line that ended
  // Set by exchange_run.
  PeerOutcome outcome;
  int line;   // the line that ended it (refused, silent, error), or line_count
  int error;  // errno of a socket failure (kPeerError)
  int fd;
  int sends;  // of the current line
  long long deadline;
};

// Runs every peer to its outcome. It keeps no state between calls and none
// outside its arguments, so several threads may run it at once, each on its
// own peers; reply_match likewise.
void exchange_run(Peer* peers, int count, const Timing& timing);
