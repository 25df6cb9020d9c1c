// The client's library for many appliances: find them, exchange lines with
// them, take a file of commands apart. Nothing here prints: results and
// failures are values (a status, an errno, a Failure with a file's line and
// the reason), which orvo-udpc's front ends (client/front.h) and the
// exporter report each in their own way. Plain C-style code: the client ships
// on the appliance, needs the C library alone and stays small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Statuses of the functions below, and orvo-udpc's exit statuses for -f, -s
// and -a (the one-shot form keeps its own).
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;  // an appliance failed, or none answered
constexpr int kStatusUsage = 2;   // the command line or the file is unusable

// Why a file was refused, beside the status that says how: the line of the
// file it concerns and the reason in words (a constant text), without the
// file's name, which the caller puts before them as it sees fit.
struct Failure {
  int line;
  const char* reason;
};

// How long to wait for replies, and how often to send a request again.
struct Timing {
  int reply_ms;   // a reply's time-out, before a request is sent again
  int resends;    // at most this many times per request
  int window_ms;  // how long find collects replies
};

// Milliseconds on a clock that never jumps.
long long clock_ms();

// Seconds as given on a command line ("12", "0.5") in milliseconds, or -1
// when the text is not such a number or lies outside (0, 86400].
int seconds_parse(const char* text);

// A whole text as a decimal number from min to max, as strtol reads it: false
// when it is not one (no digits, anything after them, or out of range).
bool number_parse(const char* text, long min, long max, long* value);

// Addresses first to last, in host byte order.
struct AddressRange {
  uint32_t first;
  uint32_t last;
};
// "A.B.C.D" (a range of one) or "A.B.C.D/BITS" with BITS from smallest_prefix
// to 32: every address of that network, its network and broadcast addresses
// included. false when the text is neither.
bool range_parse(const char* text, int smallest_prefix, AddressRange* range);

// The IPv4 address of a host name or dotted address (the first that
// getaddrinfo gives) with the port: 0, or getaddrinfo's error (for
// gai_strerror).
int host_resolve(const char* host, uint16_t port, sockaddr_in* address);

// An appliance that answered find: its address (host byte order) and its
// version text ("-" when it refused VERSION; nullptr when out of memory).
struct Appliance {
  uint32_t address;
  char* version;
};

// What find found: the appliances that answered, sorted by address, in a
// malloc'd list that appliances_free frees.
struct Found {
  Appliance* list;
  int count;
  int room;
};
void appliances_free(Found* found);

// A target of find: an address or range (range_parse with BITS from 16), and
// why it could not be searched whole: the errno of a send to it that failed
// (the rest of it is then skipped), ETIMEDOUT when the time for sending ran
// out before every address had its request; or 0.
constexpr int kFindSmallestPrefix = 16;
struct FindTarget {
  AddressRange range;
  int send_error;
};

// Find: VERSION to every target (a broadcast or single address, or every host
// address of a range: all of it for 31 and 32 bits, else without its network
// and broadcast addresses) at the port, replies collected for the window.
// Halfway through the window, every address gets its request again. Each of
// the two rounds of sending has half the window at most, so find ends within
// twice the window. 0 (also when none answered, or a target was not searched
// whole), or the errno of the socket that failed.
int appliances_find(FindTarget* targets, int count, const Timing& timing, uint16_t port,
                    Found* found);
