#include "client/fleet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>

#include "protocol/protocol.h"

long long fleet_now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int fleet_parse_seconds(const char* text) {
  long long ms = 0;
  int digits = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9' && ms <= 86400000; ++p, ++digits) ms = ms * 10 + (*p - '0');
  ms *= 1000;
  if (*p == '.') {
    int scale = 100;
    for (++p; *p >= '0' && *p <= '9'; ++p, ++digits) {
      ms += (*p - '0') * scale;
      scale /= 10;
    }
  }
  if (*p != '\0' || digits == 0 || ms <= 0 || ms > 86400000) return -1;
  return static_cast<int>(ms);
}

int fleet_lookup(const char* host, sockaddr_in* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host, nullptr, &hints, &found);
  if (error != 0 || found == nullptr) return error != 0 ? error : EAI_NONAME;
  memcpy(address, found->ai_addr, sizeof *address);
  address->sin_port = htons(orvo::kControlPort);
  freeaddrinfo(found);
  return 0;
}

bool fleet_resolve(const char* host, sockaddr_in* address) {
  const int error = fleet_lookup(host, address);
  if (error != 0) {
    fprintf(stderr, "cannot resolve host '%s'\n", host);
    return false;
  }
  return true;
}

bool fleet_printed(const char* what) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return true;
  fprintf(stderr, "cannot print the %s (%s)\n", what, strerror(errno != 0 ? errno : EIO));
  return false;
}
