#include "client/exchange.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/commands.h"

int tokens_split(const char* text, size_t length, Token* tokens) {
  if (length > 0 && text[length - 1] == ' ') --length;
  int count = 0;
  size_t begin = 0;
  for (size_t i = 0; i <= length && count < kMaxLineTokens; ++i) {
    if (i == length || text[i] == ' ') {
      tokens[count++] = Token{text + begin, i - begin};
      begin = i + 1;
    }
  }
  return count;
}

namespace {

bool token_is(const Token& token, const char* text) {
  return token.length == strlen(text) && memcmp(token.text, text, token.length) == 0;
}

bool tokens_equal(const Token& a, const Token& b) {
  return a.length == b.length && memcmp(a.text, b.text, a.length) == 0;
}

// A token's number as the daemon reads it (strtol, base 10).
long token_number(const Token& token) {
  char text[32];
  const size_t length = token.length < sizeof text - 1 ? token.length : sizeof text - 1;
  memcpy(text, token.text, length);
  text[length] = '\0';
  return strtol(text, nullptr, 10);
}

// An argument as echoed in an acknowledgement: copied as received, or parsed
// and printed; the numbers printed are narrowed to 8 bits (ACTNULCOL) or 16,
// so they agree with the argument in their low 8 bits at least.
bool argument_echoed(const Token& sent, const Token& echoed) {
  if (tokens_equal(sent, echoed)) return true;
  if (sent.length == 0 || echoed.length == 0) return false;
  return ((static_cast<unsigned long>(token_number(sent)) -
           static_cast<unsigned long>(token_number(echoed))) &
          0xFF) == 0;
}

// Commands that must not run twice (sent once, however long they stay
// unanswered), and how long the daemon may keep busy with a command before
// it answers, on top of the reply time-out: the rows of the protocol's table
// that say either, taken from it when compiled.
struct LineKind {
  char keyword[sizeof orvo::Command::keyword];
  bool once;
  int busy_ms;
};
constexpr bool line_special(const orvo::Command& row) { return row.once || row.busy_s != 0; }
constexpr int kLineKindCount = [] {
  int count = 0;
  for (const orvo::Command& row : orvo::kCommands) count += line_special(row);
  return count;
}();
constexpr std::array<LineKind, kLineKindCount> kLineKinds = [] {
  std::array<LineKind, kLineKindCount> kinds{};
  int n = 0;
  for (const orvo::Command& row : orvo::kCommands) {
    if (!line_special(row)) continue;
    for (size_t i = 0; i < sizeof row.keyword; ++i) kinds[n].keyword[i] = row.keyword[i];
    kinds[n].once = row.once;
    kinds[n++].busy_ms = row.busy_s * 1000;
  }
  return kinds;
}();
constexpr LineKind kPlainLine{"", false, 0};

const LineKind& line_kind(const Token& keyword) {
  for (const LineKind& kind : kLineKinds) {
    if (token_is(keyword, kind.keyword)) return kind;
  }
  return kPlainLine;
}

Token line_keyword(const char* line) {
  const char* space = strchr(line, ' ');
  return Token{line, space != nullptr ? static_cast<size_t>(space - line) : strlen(line)};
}

// Failures of a send or receive that count as a lost datagram: a full queue,
// or the refusal (ICMP) of an earlier datagram by a host whose daemon is not
// listening (yet), which its connected socket reports.
bool error_transient(int error) {
  return error == EAGAIN || error == ENOBUFS || error == EINTR || error == ECONNREFUSED;
}

// Sends the peer's current line; false after a failure that is not transient.
bool line_send(Peer* peer, char* buffer) {
  const char* line = peer->lines[peer->line];
  // Lines are checked to fit a request before they get here; the bound keeps
  // the copy within the buffer whatever the caller.
  size_t length = strlen(line);
  if (length > orvo::kMaxDatagram - 1) length = orvo::kMaxDatagram - 1;
  memcpy(buffer, line, length);
  buffer[length] = orvo::kTerminator;
  // (sendto and recvfrom without an address, which the connected socket
  // supplies: the client imports them anyway, and each import costs size.)
  if (sendto(peer->fd, buffer, length + 1, 0, nullptr, 0) < 0 && !error_transient(errno)) {
    peer->error = errno;
    return false;
  }
  return true;
}

// The current line ended (answered, refused or given up). Only the
// monitoring host's programs keep records (the exporter's transcript of a
// probe): the client on the appliance, built without them, has no bytes to
// spare for the code.
#ifdef ORVO_EXCHANGE_RECORDS
void line_ended(Peer* peer) {
  if (peer->records != nullptr) peer->records[peer->line] = LineRecord{peer->sends, clock_ms()};
}
#else
void line_ended(Peer*) {}
#endif

// Takes in what has arrived on the peer's socket, up to the answer of the
// current line: the peer then moves on to the next, or stops at a refusal.
// Datagrams that answer another line (late duplicates) are dropped; those
// from any other address or port never reach the connected socket.
void peer_receive(Peer* peer, char* buffer) {
  for (;;) {
    const ssize_t got = recvfrom(peer->fd, buffer, orvo::kMaxDatagram, 0, nullptr, nullptr);
    if (got < 0 && errno == ECONNREFUSED) continue;  // reported once, then cleared
    if (got < 0) return;
    buffer[got] = '\0';
    const ReplyMatch match = reply_match(peer->lines[peer->line], buffer, static_cast<size_t>(got));
    if (match == kReplyOther) continue;
    line_ended(peer);
    if (match == kReplyNack && !peer->past_refusals) {
      peer->outcome = kPeerRefused;
      return;
    }
    if (match != kReplyNack && peer->replies != nullptr) {
      char* end = strchr(buffer, orvo::kTerminator);
      if (end != nullptr) *end = '\0';
      peer->replies[peer->line] = strdup(buffer);
    }
    peer->sends = 0;
    if (++peer->line == peer->line_count) peer->outcome = kPeerDone;
    return;
  }
}

}  // namespace

ReplyMatch reply_match(const char* line, const char* reply, size_t reply_length) {
  const size_t line_length = strlen(line);
  if (reply_length > 5 && memcmp(reply, "NACK ", 5) == 0) {
    // The request exactly as received, CR included; a long one is cut where
    // the daemon's reply buffer ends.
    const size_t whole = 5 + line_length + 1;
    if (reply_length != whole && (reply_length < orvo::kMaxDatagram || reply_length > whole))
      return kReplyOther;
    const size_t compared = reply_length - 5 < line_length ? reply_length - 5 : line_length;
    if (memcmp(reply + 5, line, compared) != 0) return kReplyOther;
    return reply_length < whole || reply[whole - 1] == orvo::kTerminator ? kReplyNack : kReplyOther;
  }
  if (reply_length < 4 || memcmp(reply, "ACK ", 4) != 0) return kReplyOther;
  const char* end = strchr(reply, orvo::kTerminator);
  Token sent[kMaxLineTokens], echoed[kMaxLineTokens];
  const int sent_count = tokens_split(line, line_length, sent);
  const int echoed_count = tokens_split(
      reply + 4, end != nullptr ? static_cast<size_t>(end - reply - 4) : strlen(reply + 4), echoed);
  if (!tokens_equal(sent[0], echoed[0])) return kReplyOther;
  if (token_is(sent[0], "GRGB") && sent_count == 2) {
    // "ACK GRGB 0" for all channels, else "ACK GRGB 2" and the channel's group.
    const long channel = token_number(sent[1]);
    if (echoed_count < 2 || !token_is(echoed[1], channel == 0 ? "0" : "2")) return kReplyOther;
    if (channel >= 1 && channel <= orvo::kLedStateChannels) {
      char group[8];
      snprintf(group, sizeof group, "CH%ld", channel);
      if (echoed_count < 3 || !token_is(echoed[2], group)) return kReplyOther;
    }
    return kReplyAck;
  }
  if (echoed_count < sent_count) return kReplyOther;
  for (int i = 1; i < sent_count; ++i) {
    if (!argument_echoed(sent[i], echoed[i])) return kReplyOther;
  }
  return kReplyAck;
}

void exchange_run(Peer* peers, int count, const Timing& timing) {
  char buffer[orvo::kBufferSize];
  // What poll() watches: the running peers' sockets, in the peers' order.
  pollfd* fds = static_cast<pollfd*>(malloc((static_cast<size_t>(count) + 1) * sizeof(pollfd)));
  for (int i = 0; i < count; ++i) {
    Peer* peer = &peers[i];
    peer->line = 0;
    peer->sends = 0;
    peer->error = 0;
    peer->outcome = peer->line_count > 0 ? kPeerRunning : kPeerDone;
    peer->fd = -1;
    if (peer->outcome != kPeerRunning) continue;
    // Connected to the peer: only its address and port get through.
    peer->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (peer->fd < 0 || connect(peer->fd, reinterpret_cast<const sockaddr*>(&peer->address),
                                sizeof peer->address) < 0) {
      peer->error = errno;
      peer->outcome = kPeerError;
    } else if (fds == nullptr) {
      peer->error = ENOMEM;
      peer->outcome = kPeerError;
    }
  }
  for (;;) {
    const long long now = clock_ms();
    long long wake = LLONG_MAX;
    int watched = 0;
    for (int i = 0; i < count; ++i) {
      Peer* peer = &peers[i];
      if (peer->outcome != kPeerRunning) continue;
      if (peer->sends == 0 || now >= peer->deadline) {
        const LineKind& kind = line_kind(line_keyword(peer->lines[peer->line]));
        // The peer's last millisecond; none (the largest number) for end_ms 0.
        const unsigned long long last = static_cast<unsigned long long>(peer->end_ms) - 1;
        if ((peer->sends > 0 && (kind.once || peer->sends > timing.resends)) ||
            static_cast<unsigned long long>(now) > last) {
          peer->outcome = kPeerSilent;
          line_ended(peer);
          continue;
        }
        if (!line_send(peer, buffer)) {
          peer->outcome = kPeerError;
          continue;
        }
        ++peer->sends;
        const long long wait = kind.once
                                   ? static_cast<long long>(timing.reply_ms) * (timing.resends + 1)
                                   : timing.reply_ms;
        peer->deadline = now + wait + kind.busy_ms;
        if (static_cast<unsigned long long>(peer->deadline) > last) peer->deadline = peer->end_ms;
      }
      if (peer->deadline < wake) wake = peer->deadline;
      fds[watched++] = pollfd{peer->fd, POLLIN, 0};
    }
    if (watched == 0) break;
    const long long left = wake - now;
    if (poll(fds, static_cast<nfds_t>(watched), left < 0 ? 0 : static_cast<int>(left)) <= 0)
      continue;
    // Each socket is its peer's alone: the k-th watched is the next peer
    // with that socket.
    for (int k = 0, i = 0; k < watched; ++k, ++i) {
      while (peers[i].fd != fds[k].fd) ++i;
      if (fds[k].revents != 0) peer_receive(&peers[i], buffer);
    }
  }
  for (int i = 0; i < count; ++i) {
    if (peers[i].fd >= 0) close(peers[i].fd);
    peers[i].fd = -1;
  }
  free(fds);
}
