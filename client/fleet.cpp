#include "client/fleet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>

long long clock_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int seconds_parse(const char* text) {
  // In int arithmetic, which the appliance's processor does in far fewer
  // instructions: the whole seconds stop growing past 86400 (one digit more
  // fits, times 1000).
  int ms = 0;
  int digits = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9' && ms <= 86400; ++p, ++digits) ms = ms * 10 + (*p - '0');
  ms *= 1000;
  if (*p == '.') {
    int scale = 100;
    for (++p; *p >= '0' && *p <= '9'; ++p, ++digits) {
      ms += (*p - '0') * scale;
      scale /= 10;
    }
  }
  if (*p != '\0' || digits == 0 || ms <= 0 || ms > 86400000) return -1;
  return ms;
}

bool number_parse(const char* text, long min, long max, long* value) {
  char* end;
  const long n = strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < min || n > max) return false;
  *value = n;
  return true;
}

bool range_parse(const char* text, int smallest_prefix, AddressRange* range) {
  char address_text[INET_ADDRSTRLEN];
  const char* slash = strchr(text, '/');
  const size_t length = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
  in_addr address;
  if (length >= sizeof address_text) return false;
  memcpy(address_text, text, length);
  address_text[length] = '\0';
  if (inet_pton(AF_INET, address_text, &address) != 1) return false;
  long bits = 32;
  if (slash != nullptr && !number_parse(slash + 1, smallest_prefix, 32, &bits)) return false;
  const uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
  const uint32_t host = ntohl(address.s_addr);
  range->first = host & mask;
  range->last = host | ~mask;
  return true;
}

int host_resolve(const char* host, uint16_t port, sockaddr_in* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host, nullptr, &hints, &found);
  if (error != 0 || found == nullptr) return error != 0 ? error : EAI_NONAME;
  memcpy(address, found->ai_addr, sizeof *address);
  address->sin_port = htons(port);
  freeaddrinfo(found);
  return 0;
}
