// The daemon's socket, its request loop and the one path every reply takes.
#pragma once

#include <cstddef>
#include <netinet/in.h>

#include "protocol/protocol.h"

// The datagram as received, NUL-terminated, then cut into tokens in place.
extern char receive_buffer[orvo::kBufferSize];
// Verbatim copy of the datagram taken before parsing; echoed by NACK.
extern char request_copy[orvo::kBufferSize];
// Where handlers and the NACK path build the reply text.
extern char reply_buffer[orvo::kBufferSize];
// Source of the last received datagram; replies go here.
extern sockaddr_in client_address;

// Sends strlen(text) bytes of text to client_address. 0 when all went out,
// -errno when sendto failed, 1 on a short send (both logged).
int send_reply(const char* text);

// Creates the UDP socket and binds it to port 49494 on every local address.
// 0, or -errno after logging the failure.
int server_open();

// Serves requests for ever; returns only after the tenth failed receive,
// with -errno of that receive.
int server_run();

// Handles the datagram of the given length that sits in receive_buffer:
// framing, tokenising, dispatch, and NACK for anything that fails.
void request_process(std::size_t length);
