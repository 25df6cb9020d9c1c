// orvo-udpc's front ends for many appliances (-f, -s, -a): each runs the
// library (client/fleet.h) and prints its results and failures. Each returns
// the program's exit status.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "client/fleet.h"

// -f: finds the appliances of the targets (the broadcast address when there
// are none) and prints "address version" per appliance, sorted by address.
int find_print(char** targets, int count, const Timing& timing);

// -s: reads every setting of one appliance and prints it as commands.
int snapshot_print(const char* host, const Timing& timing);

// -a: sends the commands of a file ("-" for standard input) to every host,
// in parallel; prints one report line per host. The file is read and checked
// whole first: one that is not text (a NUL byte) or has a line too long for a
// request is refused (kStatusUsage), and nothing is sent.
int file_send(const char* file, char** hosts, int count, const Timing& timing);

// The address of a host at the control port; false after saying why not.
bool host_resolved(const char* host, sockaddr_in* address);

// Says why something failed (format has a %s for the errno's text); -error,
// the one-shot form's exit status.
int failure_said(const char* format, int error);

// Ends what went to standard output: true when all of it was written,
// otherwise false after saying that the named output could not be printed.
bool output_flushed(const char* what);
