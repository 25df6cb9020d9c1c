// The panel's one poller: a thread that reads only what is watched (each
// watched appliance's settings about once a second, the site list's
// VERSION and DSPSTATUS every 5 s), ends identify after its minute, and
// leaves the model's change counter alone unless something changed.
#pragma once

#include <thread>

#include "panel/site_model.h"

namespace panel {

class Poller {
 public:
  // Starts the thread; it stops with the object (or the model's stop()).
  explicit Poller(SiteModel& model);
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

 private:
  SiteModel& model_;
  std::thread thread_;
};

}  // namespace panel
