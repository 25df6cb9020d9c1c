#include "client/front.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "client/commands.h"
#include "client/exchange.h"
#include "client/parse.h"
#include "protocol/protocol.h"

bool host_resolved(const char* host, sockaddr_in* address) {
  if (host_resolve(host, orvo::kControlPort, address) != 0) {
    fprintf(stderr, "cannot resolve host '%s'\n", host);
    return false;
  }
  return true;
}

int failure_said(const char* format, int error) {
  fprintf(stderr, format, strerror(error));
  return -error;
}

bool output_flushed(const char* what) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return true;
  fprintf(stderr, "cannot print the %s (%s)\n", what, strerror(errno != 0 ? errno : EIO));
  return false;
}

int find_print(char** texts, int count, const Timing& timing) {
  static char broadcast[] = "255.255.255.255";
  char* fallback[] = {broadcast};
  if (count == 0) {
    texts = fallback;
    count = 1;
  }
  FindTarget* targets =
      static_cast<FindTarget*>(malloc(static_cast<size_t>(count) * sizeof(FindTarget)));
  if (targets == nullptr) return kStatusFailed;
  int status = kStatusOk;
  for (int t = 0; t < count && status == kStatusOk; ++t) {
    targets[t].send_error = 0;
    if (!range_parse(texts[t], kFindSmallestPrefix, &targets[t].range)) {
      static_assert(kFindSmallestPrefix == 16);
      fprintf(stderr, "not an address or range (A.B.C.D or A.B.C.D/16..32): '%s'\n", texts[t]);
      status = kStatusUsage;
    }
  }
  Found found;
  if (status == kStatusOk) {
    const int error = appliances_find(targets, count, timing, orvo::kControlPort, &found);
    if (error != 0) {
      failure_said("socket failed: %s\n", error);
      status = kStatusFailed;
    }
  }
  // What was found is printed also when a target could not be searched
  // whole; the status then says that the list may be short.
  bool whole = true;
  for (int t = 0; status == kStatusOk && t < count; ++t) {
    if (targets[t].send_error != 0) {
      fprintf(stderr, "%s not searched whole (%s)\n", texts[t], strerror(targets[t].send_error));
      whole = false;
    }
  }
  free(targets);
  if (status != kStatusOk) return status;
  for (int i = 0; i < found.count; ++i) {
    const uint32_t a = found.list[i].address;
    printf("%u.%u.%u.%u %s\n", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF,
           found.list[i].version != nullptr ? found.list[i].version : "");
  }
  status = output_flushed("list") && found.count > 0 && whole ? kStatusOk : kStatusFailed;
  appliances_free(&found);
  return status;
}

namespace {

// The whole of a file, NUL-terminated, and its size; or nullptr.
char* file_read(int fd, size_t* length) {
  size_t size = 0, room = 4096;
  char* text = static_cast<char*>(malloc(room));
  while (text != nullptr) {
    const ssize_t got = read(fd, text + size, room - size - 1);
    if (got < 0) break;
    if (got == 0) {
      text[size] = '\0';
      *length = size;
      return text;
    }
    size += static_cast<size_t>(got);
    if (size + 1 == room) {
      char* grown = static_cast<char*>(realloc(text, room *= 2));
      if (grown == nullptr) break;
      text = grown;
    }
  }
  free(text);
  return nullptr;
}

// Sends the commands to every host and prints how far each got.
int commands_send(const Commands& commands, char** hosts, int count, const Timing& timing) {
  Peer* peers = static_cast<Peer*>(malloc(static_cast<size_t>(count) * sizeof(Peer)));
  if (peers == nullptr) return kStatusFailed;
  memset(peers, 0, static_cast<size_t>(count) * sizeof(Peer));
  for (int i = 0; i < count; ++i) {
    if (!host_resolved(hosts[i], &peers[i].address)) {
      free(peers);
      return kStatusUsage;
    }
    peers[i].lines = commands.lines;
    peers[i].line_count = commands.count;
  }
  exchange_run(peers, count, timing);

  int status = kStatusOk;
  for (int i = 0; i < count; ++i) {
    const Peer& peer = peers[i];
    if (peer.outcome == kPeerDone) {
      printf("%s done\n", hosts[i]);
      continue;
    }
    status = kStatusFailed;
    const int at = commands.numbers[peer.line];
    const char* line = commands.lines[peer.line];
    if (peer.outcome != kPeerError) {
      printf("%s %s line %d: %s\n", hosts[i],
             peer.outcome == kPeerRefused ? "refused" : "no answer to", at, line);
    } else {
      printf("%s failed at line %d: %s (%s)\n", hosts[i], at, line, strerror(peer.error));
    }
  }
  free(peers);
  return output_flushed("report") ? status : kStatusFailed;
}

}  // namespace

int file_send(const char* file, char** hosts, int count, const Timing& timing) {
  const bool standard_input = file[0] == '-' && file[1] == '\0';
  const int fd = standard_input ? 0 : open(file, O_RDONLY | O_CLOEXEC);
  size_t size = 0;
  char* text = fd >= 0 ? file_read(fd, &size) : nullptr;
  if (text == nullptr) {
    fprintf(stderr, "cannot read '%s': %s\n", file, strerror(errno));
    if (fd > 0) close(fd);
    return kStatusUsage;
  }
  if (!standard_input) close(fd);
  Commands commands{};
  Failure failure;
  int status = commands_split(text, size, &commands, &failure);
  if (status == kStatusUsage) fprintf(stderr, "%s:%d: %s\n", file, failure.line, failure.reason);
  if (status == kStatusOk) status = commands_send(commands, hosts, count, timing);
  free(commands.lines);
  free(commands.numbers);
  free(text);
  return status;
}
