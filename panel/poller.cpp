#include "panel/poller.h"

namespace panel {

Poller::Poller(SiteModel& model) : model_(model) {
  thread_ = std::thread([this] {
    while (!model_.stopping()) model_.poll_wait(model_.poll_due(clock_ms()));
  });
}

Poller::~Poller() {
  model_.stop();
  thread_.join();
}

}  // namespace panel
