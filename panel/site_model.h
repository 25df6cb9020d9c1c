// The panel's model of the site: the appliances it knows (found within its
// targets, or added by address), what it last read of each, the room each
// belongs to by the site file, how each differs from its room's file, and
// whether it is up, busy with a long command the panel sent, or silent.
// Nothing here speaks HTTP: the program's routes call these functions and
// send the JSON they return; its event streams wait for changes with
// wait_for_change.
//
// Every read and send is a bounded exchange with the client's library
// (client/exchange.h); the model is safe to use from any number of threads.
// Addresses are IPv4 in host byte order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/fleet.h"
#include "client/settings.h"

namespace panel {

struct ModelOptions {
  // The only appliances the panel talks to; anything else is refused and
  // nothing is sent.
  std::vector<AddressRange> targets;
  // The rooms' settings files and site.conf.
  std::string state_dir;
  // A read's whole exchange ends within this; a request is sent again after
  // a quarter of it (0.1 to 1 s), at most three times.
  int timeout_ms = 2000;
  // The appliances' control port (tests with fakes on loopback change it).
  std::uint16_t port = 0;  // 0: the protocol's port
  // How long an appliance identifies itself before the panel ends it.
  int identify_ms = 60000;
};

enum class ApplianceState { kUp, kBusy, kSilent };

// What the model knows of one appliance, as a copy.
struct ApplianceView {
  std::uint32_t address = 0;
  std::optional<std::string> room;     // by site.conf
  std::optional<std::string> version;  // as VERSION reported it ("-": refused)
  ApplianceState state = ApplianceState::kUp;
  std::optional<long> dsp_status;  // the last DSPSTATUS word
  std::optional<bool> dsp_up;      // whether DSPSTATUS answered
  // Against the room's settings file (none: no room, no such file, the file
  // is unusable, or the settings are not read yet).
  std::optional<std::vector<std::string>> differences;
  std::optional<ApplianceSettings> settings;  // all of them, or none
  bool identify = false;                      // ID 1 sent, ID 0 not yet
  std::optional<std::string> busy;            // the long command running
};

// What a line sent came to.
enum class Outcome { kDone, kRefused, kSilent };
const char* outcome_name(Outcome outcome);  // "done", "refused", "silent"

struct SendResult {
  std::string line;
  std::optional<std::string> reply;  // the reply's text, without its CR
  Outcome outcome = Outcome::kSilent;
};

// Reasons a request of a page is refused before anything is sent.
// kFailed: the request was in order, but the appliance did not answer or a
// file could not be written (the message says which).
enum class Refusal { kNone, kBadRequest, kForbidden, kNotFound, kFailed };

class SiteModel {
 public:
  explicit SiteModel(ModelOptions options);
  ~SiteModel();
  SiteModel(const SiteModel&) = delete;
  SiteModel& operator=(const SiteModel&) = delete;

  const ModelOptions& options() const { return options_; }

  // Whether an address lies within the targets.
  bool allowed(std::uint32_t address) const;

  // Finds appliances in the range ("A.B.C.D" or "A.B.C.D/BITS"; a single
  // address may be a broadcast address) or, when empty, in every target,
  // and adds those that answered from within the targets. Blocks for the
  // time-out. "" or why not (kBadRequest: not a range; kForbidden: not
  // within the targets; nothing sent then).
  std::string discover(const std::string& range, Refusal* refusal);

  // Adds an appliance by address ("A.B.C.D") and reads it at once. "" or
  // why not (kBadRequest, kForbidden as for discover).
  std::string add(const std::string& address, Refusal* refusal);

  // Sends one line to an appliance: the line checked against the command
  // table (kBadRequest), the address within the targets (kForbidden); then
  // one exchange with the client's resend rules, logged to standard error
  // as "orvo-panel: ADDRESS: LINE -> REPLY". The appliance is added when
  // new; it is busy while a long command (MICTEST, FU, IMPRESS, DEFAULTS)
  // runs, which this call waits for; after a refusal it is read again
  // before this returns, after an ACK soon after. An acknowledged "ID 1"
  // starts identify, which the poller ends with "ID 0" a minute later;
  // "ID 0" ends it. nullopt when refused, with *refusal and *why set.
  std::optional<SendResult> send_line(const std::string& address, const std::string& line,
                                      Refusal* refusal, std::string* why);

  // The site and one appliance as the pages get them (JSON). Asking for
  // either keeps it watched for a while (kInterest), so that a page that
  // polls instead of streaming sees changes too. appliance_json: nullopt
  // for an address the model does not know (kNotFound) or outside the
  // targets (kForbidden).
  std::string site_json();
  std::optional<std::string> appliance_json(const std::string& address, Refusal* refusal);

  // Copies of what the model knows.
  std::vector<ApplianceView> appliances() const;
  std::optional<ApplianceView> appliance(std::uint32_t address) const;
  // The rooms: the names of the room files in the state folder, sorted.
  std::vector<std::string> rooms() const;

  // Watching: the poller reads the site list every 5 s while anyone
  // watches the site, and each watched appliance about once a second. A
  // Watch lasts as long as the object (an event stream holds one); address
  // 0 watches the site list only.
  class Watch {
   public:
    Watch(SiteModel& model, std::uint32_t address);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

   private:
    SiteModel& model_;
    std::uint32_t address_;
  };
  std::unique_ptr<Watch> watch(std::uint32_t address) {
    return std::make_unique<Watch>(*this, address);
  }
  static constexpr std::chrono::seconds kInterest{10};

  // The change counter: it grows whenever anything the JSON shows changed.
  // wait_for_change returns as soon as it differs from seen, or after the
  // timeout, or once the model is stopping; it returns the counter.
  std::uint64_t changes() const;
  std::uint64_t wait_for_change(std::uint64_t seen, std::chrono::milliseconds timeout);

  // Reads all the settings of an appliance now (not through the poller):
  // "" or why not. The model keeps what it read.
  std::string settings_fetch(std::uint32_t address, ApplianceSettings* settings);

  // Has the poller read these appliances (A.B.C.D each) in full at once.
  void refresh(const std::vector<std::string>& addresses);

  // Told that the site file or a room file changed: drift is worked out
  // again at once.
  void rooms_changed();

  // For the poller (panel/poller.h): one round of its work, due at the
  // time it returns (on clock_ms()); and a wait for that time or for
  // something that needs the poller sooner.
  long long poll_due(long long now_ms);
  void poll_wait(long long until_ms);
  // Ends the waits, now and later (the poller stops with it).
  void stop();
  bool stopping() const;

 private:
  struct Entry;
  struct Read;
  // Runs the reads (each a bounded exchange, all at once), without the lock.
  static void reads_run(const ModelOptions& options, std::vector<Read>* reads);
  void read_taken_locked(const Read& read);
  std::string read_now(std::uint32_t address, ApplianceSettings* settings);
  Entry& entry_locked(std::uint32_t address);
  static ApplianceView view_of(const Entry& entry);
  void interest(std::uint32_t address);
  bool watched_locked(std::uint32_t address, long long now_ms) const;
  // Works out rooms and drift again and bumps the counter when anything
  // the JSON shows changed.
  void settle_locked();
  void identify_ends(long long now_ms);
  SendResult exchange_line(std::uint32_t address, const std::string& line);

  ModelOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::condition_variable poll_;
  std::map<std::uint32_t, std::unique_ptr<Entry>> entries_;
  std::map<std::uint32_t, int> watchers_;              // 0: the site list
  std::map<std::uint32_t, long long> interest_until_;  // 0: the site list
  std::vector<std::string> site_problems_;
  std::string rooms_shown_;
  std::uint64_t changes_ = 0;
  bool stopping_ = false;
  bool poll_now_ = false;
  long long next_site_ms_ = 0;
  long long next_full_ms_ = 0;
  std::uint32_t round_robin_ = 0;
};

// {"line":"...","reply":"..."|null,"outcome":"done"|"refused"|"silent"}
std::string send_json(const SendResult& result);

// The names of the settings named in which now differs from expected, as
// the exporter's setting label has them: "tracking", "noise_suppression",
// "apt_mode", "eq_band_0".."eq_band_2", "colours", "null_channels",
// "led_channel_1".."led_channel_16".
std::vector<std::string> settings_mismatches(const ApplianceSettings& expected,
                                             const ApplianceSettings& now, SettingsNamed named);

// "A.B.C.D" of an address, and back (false when the text is not one).
std::string address_text(std::uint32_t address);
bool address_parse(const std::string& text, std::uint32_t* address);

}  // namespace panel
