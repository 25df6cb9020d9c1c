#include "daemon/server/request_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "daemon/server/command_table.h"

char receive_buffer[orvo::kBufferSize];
char request_copy[orvo::kBufferSize];
char reply_buffer[orvo::kBufferSize];
sockaddr_in client_address;

namespace {

constexpr int kMaxReceiveFailures = 10;

int server_socket = -1;
socklen_t address_length;
char* tokens[orvo::kMaxTokens];
int receive_failures;

void send_nack() {
  // The echo is cut so that the whole reply stays within the buffer.
  if (snprintf(reply_buffer, sizeof reply_buffer, "NACK %s", request_copy) < 0) {
    return;
  }
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

}  // namespace

int send_reply(const char* text) {
  const size_t length = strlen(text);
  const ssize_t sent = sendto(server_socket, text, length, 0,
                              reinterpret_cast<const sockaddr*>(&client_address),
                              sizeof client_address);
  if (sent < 0) {
    const int error = errno;
    syslog(LOG_ERR, "sendto() failed (%m)\n");
    return -error;
  }
  if (static_cast<size_t>(sent) != length) {
    syslog(LOG_ERR, "short write on udp socket\n");
    return 1;
  }
  return 0;
}

int server_open() {
  server_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (server_socket < 0) {
    const int error = errno;
    syslog(LOG_ERR, "socket() failed (%m)... exiting\n");
    return -error;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(orvo::kControlPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(server_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    const int error = errno;
    syslog(LOG_ERR, "bind() failed (%m)... exiting\n");
    return -error;
  }
  return 0;
}

void request_process(size_t length) {
  receive_buffer[length] = '\0';
  memcpy(request_copy, receive_buffer, strlen(receive_buffer) + 1);
  memset(tokens, 0, sizeof tokens);

  if (length == 0 || receive_buffer[length - 1] != orvo::kTerminator) {
    syslog(LOG_ERR, "request did not end in carriage return\n");
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
    syslog(LOG_ERR, "invalid command '%s' received\n", tokens[0]);
    send_nack();
    return;
  }
  if (handler(count, tokens) != 0) {
    send_nack();
  }
}

int server_run() {
  address_length = sizeof client_address;
  for (;;) {
    const ssize_t length =
        recvfrom(server_socket, receive_buffer, orvo::kMaxDatagram, 0,
                 reinterpret_cast<sockaddr*>(&client_address), &address_length);
    if (length < 0) {
      const int error = errno;
      syslog(LOG_ERR, "recvfrom() failed (%m)\n");
      if (++receive_failures >= kMaxReceiveFailures) {
        syslog(LOG_ERR, "max (10) recvfrom() fails reached... exiting\n");
        return -error;
      }
      continue;
    }
    request_process(static_cast<size_t>(length));
  }
}
