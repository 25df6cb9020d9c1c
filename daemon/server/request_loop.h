// The daemon's socket and its request loop.
#pragma once

#include <cstddef>
#include <netinet/in.h>

// Creates the UDP socket and binds it to port 49494 on every local address.
// 0, or -errno after logging the failure.
int server_open();

// Serves requests for ever; returns only after the tenth failed receive,
// with -errno of that receive.
int server_run();

// Handles one datagram from the given sender as the loop handles a received
// one (framing, tokenising, dispatch, NACK for anything that fails), the
// reply going to that sender. For a caller that receives datagrams itself:
// the request fuzzer. At most 2047 bytes of the datagram are taken.
void request_handle(const void* datagram, std::size_t length, const sockaddr_in& sender);
