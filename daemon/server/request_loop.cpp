#include "daemon/server/request_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/server/command_table.h"
#include "daemon/server/log.h"
#include "daemon/server/reply.h"

namespace {

constexpr int kMaxReceiveFailures = 10;

int server_socket = -1;
// The datagram as received, NUL-terminated, then cut into tokens in place.
char receive_buffer[orvo::kBufferSize];
// Verbatim copy of the datagram taken before parsing; echoed by NACK.
char request_copy[orvo::kBufferSize];
// Source of the last received datagram; replies go here.
sockaddr_in client_address;
socklen_t address_length;
char* tokens[orvo::kMaxTokens];
int receive_failures;

// Sends strlen(text) bytes of text to the sender of the request: the one
// reply to it. A failed or short send is logged; nothing else is sent.
void send_reply(const char* text) {
  const size_t length = strlen(text);
  const ssize_t sent =
      sendto(server_socket, text, length, 0, reinterpret_cast<const sockaddr*>(&client_address),
             sizeof client_address);
  if (sent < 0) {
    log_error(kLogSendFailed);
  } else if (static_cast<size_t>(sent) != length) {
    log_error(kLogShortSend);
  }
}

void send_nack() {
  // The echo is cut so that the whole reply stays within the buffer.
  reply_format(0, "NACK %s", request_copy);
  send_reply(reply_buffer);
}

// Splits receive_buffer in place at single spaces. Returns the token count,
// or 0 when two spaces meet before the last token.
int tokenise() {
  char* text = receive_buffer;
  tokens[0] = text;
  int count = 1;
  while (count < orvo::kMaxTokens) {
    char* space = strchr(text, ' ');
    if (space == nullptr) {
      break;
    }
    if (space[1] == ' ') {
      return 0;
    }
    *space = '\0';
    text = space + 1;
    tokens[count++] = text;
  }
  return count;
}

// Handles the datagram of the given length that sits in receive_buffer.
void request_process(size_t length) {
  receive_buffer[length] = '\0';
  memcpy(request_copy, receive_buffer, strlen(receive_buffer) + 1);
  memset(tokens, 0, sizeof tokens);

  if (length == 0 || receive_buffer[length - 1] != orvo::kTerminator) {
    log_error(kLogNoCarriageReturn);
    send_nack();
    return;
  }
  receive_buffer[length - 1] = '\0';
  // One space before the CR is tolerated; two are not.
  if (length >= 2 && receive_buffer[length - 2] == ' ') {
    receive_buffer[length - 2] = '\0';
    if (length >= 3 && receive_buffer[length - 3] == ' ') {
      send_nack();
      return;
    }
  }

  const int count = tokenise();
  if (count == 0) {
    send_nack();
    return;
  }
  const CommandHandler handler = command_find(tokens[0]);
  if (handler == nullptr) {
    log_error(kLogInvalidCommand, tokens[0]);
    send_nack();
    return;
  }
  // Exactly one reply per request: the handler's acknowledgement, or NACK
  // when it failed; never NACK after an acknowledgement that failed to go.
  if (handler(count, tokens) != 0) {
    send_nack();
  } else {
    send_reply(reply_buffer);
  }
}

}  // namespace

int server_open() {
  server_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (server_socket < 0) {
    const int error = errno;
    log_error(kLogSocketFailed);
    return -error;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(orvo::kControlPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(server_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    const int error = errno;
    log_error(kLogBindFailed);
    return -error;
  }
  return 0;
}

void request_handle(const void* datagram, size_t length, const sockaddr_in& sender) {
  length = length < orvo::kMaxDatagram ? length : orvo::kMaxDatagram;
  memcpy(receive_buffer, datagram, length);
  client_address = sender;
  request_process(length);
}

int server_run() {
  address_length = sizeof client_address;
  for (;;) {
    const ssize_t length = recvfrom(server_socket, receive_buffer, orvo::kMaxDatagram, 0,
                                    reinterpret_cast<sockaddr*>(&client_address), &address_length);
    if (length < 0) {
      const int error = errno;
      log_error(kLogReceiveFailed);
      if (++receive_failures >= kMaxReceiveFailures) {
        log_error(kLogTooManyReceiveFailures);
        return -error;
      }
      continue;
    }
    request_process(static_cast<size_t>(length));
  }
}
