// orvo-udpc's functions for many appliances: find them, read one's settings
// as a file of commands, send such a file to many. Plain C-style code: the
// client ships on the appliance, needs the C library alone and stays small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Exit statuses of the functions below (the one-shot form keeps its own).
constexpr int kFleetOk = 0;
constexpr int kFleetFailed = 1;  // an appliance failed, or none answered
constexpr int kFleetUsage = 2;   // the command line or the file is unusable

// How long to wait for replies, and how often to send a request again.
struct FleetTiming {
  int reply_ms;   // a reply's time-out, before a request is sent again
  int resends;    // at most this many times per request
  int window_ms;  // how long find collects replies
};

// Milliseconds on a clock that never jumps.
long long fleet_now_ms();

// Seconds as given on the command line ("12", "0.5") in milliseconds, or -1
// when the text is not such a number or lies outside (0, 86400].
int fleet_parse_seconds(const char* text);

// Ends what went to standard output: true when all of it was written,
// otherwise false after saying that the named output could not be printed.
bool fleet_printed(const char* what);

// The IPv4 address of a host name or dotted address (the first that
// getaddrinfo gives), port 49494; false after printing why not.
bool fleet_resolve(const char* host, sockaddr_in* address);
// The same without a word: 0, or getaddrinfo's error (for gai_strerror).
int fleet_lookup(const char* host, sockaddr_in* address);

// -f: VERSION to every target (a broadcast or single address, or every host
// address of a range ADDRESS/BITS), replies collected for the window; prints
// "address version" per appliance, sorted by address.
int fleet_find(char** targets, int count, const FleetTiming& timing);

// An appliance that answered find: its address (host byte order) and its
// version text ("-" when it refused VERSION; nullptr when out of memory).
struct FleetAppliance {
  uint32_t address;
  char* version;
};

// find without printing: the appliances that answered, sorted by address, in
// a malloc'd list that fleet_appliances_free frees. kFleetOk (also when none
// answered), kFleetUsage for a target that is no address or range, or
// kFleetFailed.
int fleet_discover(char** targets, int count, const FleetTiming& timing, FleetAppliance** list,
                   int* list_count);
void fleet_appliances_free(FleetAppliance* list, int count);

// -s: reads every setting of one appliance and prints it as commands.
int fleet_snapshot(const char* host, const FleetTiming& timing);

// -a: sends the commands of a file ("-" for standard input) to every host,
// in parallel; prints one report line per host. The file is read and checked
// whole first: one that is not text (a NUL byte) or has a line too long for a
// request is refused (kFleetUsage), and nothing is sent.
int fleet_apply(const char* file, char** hosts, int count, const FleetTiming& timing);
