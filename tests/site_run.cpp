// Runs a program on a virtual site (sim/site.h): makes the site, starts every
// appliance's daemon, then runs the program in the client's network with the
// site described in its environment, and ends with its exit status.
//
//   site_run APPLIANCES SECONDS PROGRAM [ARGUMENT...]
//
//   ORVO_SITE_APPLIANCES  the appliances' addresses, separated by spaces
//   ORVO_SITE_SUBNET      the site's network (A.B.C.D/BITS)
//   ORVO_SITE_LEDS        per appliance (same order, separated by spaces), the
//                         host files of LED 1's red, green and blue levels,
//                         separated by commas
//
// The program is killed after SECONDS; the site ends with this process.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/process.h"
#include "sim/site.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: site_run APPLIANCES SECONDS PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const int count = atoi(argv[1]);
  const int seconds = atoi(argv[2]);
  if (count < 1 || count > sim::Site::kMaxAppliances || seconds < 1) {
    fprintf(stderr, "site_run: 1 to %d appliances and a positive time, please\n",
            sim::Site::kMaxAppliances);
    return 2;
  }
  std::string error;
  std::unique_ptr<sim::Site> site = sim::Site::create(count, &error);
  if (!site || !site->start_all(&error)) {
    fprintf(stderr, "site_run: cannot make the site: %s\n", error.c_str());
    return 1;
  }
  std::string addresses, leds;
  for (int i = 0; i < count; ++i) {
    addresses += (i ? " " : "") + sim::Site::address(i);
    leds += i ? " " : "";
    for (char component : {'r', 'g', 'b'}) {
      leds += (component == 'r' ? "" : ",") +
              site->appliance(i).host_path(sim::brightness_path(1, component));
    }
  }
  setenv("ORVO_SITE_APPLIANCES", addresses.c_str(), 1);
  setenv("ORVO_SITE_SUBNET", sim::Site::subnet().c_str(), 1);
  setenv("ORVO_SITE_LEDS", leds.c_str(), 1);

  sim::SpawnOptions in_client_network;
  in_client_network.net_ns = site->client_host().network_namespace();
  in_client_network.die_with_parent = true;
  const pid_t child = sim::spawn(std::vector<std::string>(argv + 3, argv + argc), in_client_network);
  if (child < 0) {
    fprintf(stderr, "site_run: cannot start %s\n", argv[3]);
    return 1;
  }
  std::optional<int> status = sim::wait_exit(child, std::chrono::seconds(seconds));
  if (!status) {
    fprintf(stderr, "site_run: %s still ran after %d s; killed\n", argv[3], seconds);
    sim::kill_child(child);
    return 1;
  }
  return *status;
}
