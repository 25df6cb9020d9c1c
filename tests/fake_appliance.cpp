#include "tests/fake_appliance.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeAppliance::FakeAppliance(std::map<std::string, std::string> replies)
    : replies_(std::move(replies)) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in own = address();
  own.sin_port = 0;
  socklen_t length = sizeof own;
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr*>(&own), &length) == 0) {
    port_ = ntohs(own.sin_port);
  }
  thread_ = std::thread([this] { serve(); });
}

FakeAppliance::~FakeAppliance() {
  stop_ = true;
  thread_.join();
  if (fd_ >= 0) close(fd_);
}

sockaddr_in FakeAppliance::address() const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void FakeAppliance::serve() {
  while (!stop_ && fd_ >= 0) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 20) <= 0) continue;
    char datagram[2048];
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    const ssize_t got = recvfrom(fd_, datagram, sizeof datagram, 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_length);
    if (got <= 0) continue;
    ++received_;
    const std::string request(datagram, static_cast<size_t>(got));
    const std::string line = request.substr(0, request.find('\r'));
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    const auto found = replies_.find(line);
    if (found != replies_.end() && found->second.empty()) continue;
    const std::string reply = found != replies_.end() ? found->second + "\r" : "NACK " + request;
    sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
  }
}

std::vector<std::string> FakeAppliance::lines() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}
