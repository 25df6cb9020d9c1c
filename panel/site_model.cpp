#include "panel/site_model.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "client/exchange.h"
#include "http/http.h"
#include "panel/lines.h"
#include "panel/rooms.h"
#include "protocol/commands.h"
#include "site/site.h"

namespace panel {

namespace {

constexpr int kSends = 4;            // a request sent at most this often
constexpr int kMissedPolls = 3;      // in a row, before an appliance is silent
constexpr long long kFullMs = 1000;  // a watched appliance's settings read
constexpr long long kSiteMs = 5000;  // the site list's VERSION and DSPSTATUS
constexpr long long kIdentifyRetryMs = 5000;
constexpr int kIdentifyTries = 3;     // of the ID 0 that ends identify
constexpr long long kIdleMs = 60000;  // the poller's longest sleep

// A read: VERSION and DSPSTATUS, then (for a full read) every setting.
constexpr int kVersionLine = 0;
constexpr int kStatusLine = 1;
constexpr int kSettingsLine = 2;
constexpr int kFullLines = kSettingsLine + kSettingsQueryCount;
constexpr const char* kVersionQuery = "VERSION";
constexpr const char* kStatusQuery = "DSPSTATUS";
static_assert(orvo::line_reads(kVersionQuery) && orvo::line_reads(kStatusQuery),
              "a poll changes nothing");

struct ReadLines {
  const char* text[kFullLines];
  ReadLines() {
    text[kVersionLine] = kVersionQuery;
    text[kStatusLine] = kStatusQuery;
    for (int q = 0; q < kSettingsQueryCount; ++q) text[kSettingsLine + q] = kSettingsQueries[q];
  }
};
const ReadLines kReadLines;

// A request's time-out before it is sent again: a quarter of the panel's,
// from 0.1 to 1 s.
int reply_ms(int timeout_ms) {
  const int ms = timeout_ms / kSends;
  return ms < 100 ? 100 : ms > 1000 ? 1000 : ms;
}

sockaddr_in socket_address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port != 0 ? port : orvo::kControlPort);
  out.sin_addr.s_addr = htonl(address);
  return out;
}

// The number of "ACK KEYWORD n".
bool number_read(const char* reply, long* value) {
  const char* p = reply != nullptr ? strchr(reply + 4, ' ') : nullptr;
  return p != nullptr && number_parse(p + 1, LONG_MIN, LONG_MAX, value);
}

// A reply made fit for a line of the log: control characters as spaces.
std::string loggable(std::string text) {
  for (char& c : text) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
  return text;
}

const char* state_name(ApplianceState state) {
  return state == ApplianceState::kBusy     ? "busy"
         : state == ApplianceState::kSilent ? "silent"
                                            : "up";
}

std::string json_optional(const std::optional<std::string>& text) {
  return text ? http::json_string(*text) : "null";
}

template <typename Number>
std::string json_numbers(const Number* values, int count) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += std::to_string(values[i]);
  }
  return out + "]";
}

std::string json_names(const std::vector<std::string>& names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ',';
    out += http::json_string(names[i]);
  }
  return out + "]";
}

std::string settings_json(const ApplianceSettings& s) {
  std::string out = "{\"tracking\":" + std::to_string(s.tracking) +
                    ",\"noise_suppression\":" + std::to_string(s.noise) +
                    ",\"apt_mode\":" + std::to_string(s.apt) +
                    ",\"eq\":" + json_numbers(s.eq, orvo::kEqBands) +
                    ",\"active\":" + json_numbers(s.colours + orvo::kActiveColour, 3) +
                    ",\"null\":" + json_numbers(s.colours + orvo::kNullColour, 3) + ",\"nulled\":[";
  bool first = true;
  for (int c = orvo::kFirstNullChannel; c <= orvo::kLastNullChannel; ++c) {
    if ((s.mask >> c & 1) == 0) continue;
    if (!first) out += ',';
    out += std::to_string(c);
    first = false;
  }
  out += "],\"channels\":[";
  for (int c = 1; c <= kSettingsChannels; ++c) {
    const LedChannel& channel = s.channels[c];
    int shown[3], percent[3];
    std::string on = "[";
    for (int k = 0; k < 3; ++k) {
      // GRGB shows a switched-off component as 0.
      shown[k] = channel.on[k] ? channel.level[k] : 0;
      percent[k] = settings_percent(channel.level[k]);
      on += std::string(k > 0 ? "," : "") + (channel.on[k] ? "true" : "false");
    }
    out += std::string(c > 1 ? "," : "") + "{\"channel\":" + std::to_string(c) +
           ",\"rgb\":" + json_numbers(shown, 3) + ",\"on\":" + on +
           "],\"percent\":" + json_numbers(percent, 3) + "}";
  }
  return out + "]}";
}

// The summary's fields, without the closing brace.
std::string summary_fields(const ApplianceView& view) {
  std::string out =
      "{\"address\":" + http::json_string(address_text(view.address)) +
      ",\"room\":" + json_optional(view.room) + ",\"version\":" + json_optional(view.version) +
      ",\"state\":\"" + state_name(view.state) +
      "\",\"dsp_status\":" + (view.dsp_status ? std::to_string(*view.dsp_status) : "null") +
      ",\"dsp_up\":" + (view.dsp_up ? (*view.dsp_up ? "true" : "false") : "null") +
      ",\"drift\":" + (view.differences ? std::to_string(view.differences->size()) : "null") +
      ",\"differences\":" +
      json_names(view.differences ? *view.differences : std::vector<std::string>{});
  return out;
}

std::string view_json(const ApplianceView& view) {
  return summary_fields(view) +
         ",\"settings\":" + (view.settings ? settings_json(*view.settings) : "null") +
         ",\"identify\":" + (view.identify ? "true" : "false") +
         ",\"busy\":" + json_optional(view.busy) + "}";
}

}  // namespace

// What the model keeps of an appliance.
struct SiteModel::Entry {
  std::uint32_t address = 0;
  std::optional<std::string> version;
  std::optional<long> dsp_status;
  std::optional<bool> dsp_up;
  int misses = 0;         // polls in a row without an answer
  bool answered = false;  // ever
  std::optional<std::string> busy;
  std::optional<ApplianceSettings> settings;
  long long identify_until = 0;  // on clock_ms(); 0: not identifying
  int identify_tries = 0;
  std::optional<std::string> room;
  std::optional<std::vector<std::string>> differences;
  bool refresh = false;  // to be read in full as soon as the poller can
  std::string shown;     // its JSON when last settled
};

// A read of one appliance and what came of it.
struct SiteModel::Read {
  std::uint32_t address = 0;
  bool full = false;
  bool answered = false;
  std::optional<std::string> version;
  std::optional<long> dsp_status;
  bool dsp_up = false;
  std::optional<ApplianceSettings> settings;
};

const char* outcome_name(Outcome outcome) {
  return outcome == Outcome::kDone ? "done" : outcome == Outcome::kRefused ? "refused" : "silent";
}

std::string address_text(std::uint32_t a) {
  char text[INET_ADDRSTRLEN];
  snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
  return text;
}

bool address_parse(const std::string& text, std::uint32_t* address) {
  in_addr parsed;
  if (text.size() > 15 || inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return true;
}

std::string send_json(const SendResult& result) {
  return "{\"line\":" + http::json_string(result.line) +
         ",\"reply\":" + json_optional(result.reply) + ",\"outcome\":\"" +
         outcome_name(result.outcome) + "\"}";
}

std::vector<std::string> settings_mismatches(const ApplianceSettings& expected,
                                             const ApplianceSettings& now, SettingsNamed named) {
  std::vector<std::string> names;
  const SettingsNamed differing = settings_differing(expected, now, named);
  for (int n = 0; n < kSettingCount; ++n) {
    if ((differing >> n & 1) != 0) names.emplace_back(kSettingNames[n]);
  }
  return names;
}

SiteModel::SiteModel(ModelOptions options) : options_(std::move(options)) {
  if (options_.timeout_ms <= 0) options_.timeout_ms = 2000;
}

SiteModel::~SiteModel() { stop(); }

bool SiteModel::allowed(std::uint32_t address) const {
  for (const AddressRange& range : options_.targets) {
    if (address >= range.first && address <= range.last) return true;
  }
  return false;
}

SiteModel::Entry& SiteModel::entry_locked(std::uint32_t address) {
  std::unique_ptr<Entry>& entry = entries_[address];
  if (!entry) {
    entry = std::make_unique<Entry>();
    entry->address = address;
  }
  return *entry;
}

void SiteModel::reads_run(const ModelOptions& options, std::vector<Read>* reads) {
  if (reads->empty()) return;
  const size_t count = reads->size();
  std::vector<Peer> peers(count);
  std::vector<char*> replies(count * kFullLines, nullptr);
  const long long end = clock_ms() + options.timeout_ms;
  for (size_t i = 0; i < count; ++i) {
    Peer& peer = peers[i];
    peer = Peer{};
    peer.address = socket_address((*reads)[i].address, options.port);
    peer.lines = kReadLines.text;
    peer.line_count = (*reads)[i].full ? kFullLines : kSettingsLine;
    peer.replies = replies.data() + i * kFullLines;
    // A refused read (a failing DSP refuses its reads) skips that line only.
    peer.past_refusals = true;
    peer.end_ms = end;
  }
  exchange_run(peers.data(), static_cast<int>(count),
               Timing{reply_ms(options.timeout_ms), kSends - 1, 0});
  for (size_t i = 0; i < count; ++i) {
    Read& read = (*reads)[i];
    const Peer& peer = peers[i];
    char** reply = replies.data() + i * kFullLines;
    // Past the first line, the appliance answered (a refusal is an answer).
    read.answered = peer.outcome == kPeerDone || (peer.outcome == kPeerSilent && peer.line > 0);
    if (read.answered) {
      const char* version = reply[kVersionLine];
      read.version = version != nullptr && strlen(version) > 12 ? version + 12 : "-";
      long status;
      read.dsp_up = number_read(reply[kStatusLine], &status);
      if (read.dsp_up) read.dsp_status = status;
      if (read.full && peer.outcome == kPeerDone) {
        ApplianceSettings settings{};
        if (settings_read(reply + kSettingsLine, &settings) == kSettingsAll)
          read.settings = settings;
      }
    }
    for (int line = 0; line < kFullLines; ++line) free(reply[line]);
  }
}

void SiteModel::read_taken_locked(const Read& read) {
  Entry& entry = entry_locked(read.address);
  if (!read.answered) {
    ++entry.misses;
    return;
  }
  entry.misses = 0;
  entry.answered = true;
  entry.version = read.version;
  entry.dsp_status = read.dsp_status;
  entry.dsp_up = read.dsp_up;
  if (read.full) entry.settings = read.settings;
}

std::string SiteModel::read_now(std::uint32_t address, ApplianceSettings* settings) {
  std::vector<Read> reads(1);
  reads[0].address = address;
  reads[0].full = true;
  reads_run(options_, &reads);
  std::lock_guard<std::mutex> lock(mutex_);
  read_taken_locked(reads[0]);
  settle_locked();
  if (!reads[0].answered) return address_text(address) + " does not answer";
  if (!reads[0].settings) return address_text(address) + " did not tell all its settings";
  if (settings != nullptr) *settings = *reads[0].settings;
  return "";
}

std::string SiteModel::settings_fetch(std::uint32_t address, ApplianceSettings* settings) {
  if (!allowed(address)) return address_text(address) + " is outside the targets";
  return read_now(address, settings);
}

void SiteModel::settle_locked() {
  std::vector<site::Room> rooms;
  std::vector<std::string> problems = site::site_read(options_.state_dir, &rooms);
  if (problems != site_problems_) {
    for (const std::string& problem : problems)
      fprintf(stderr, "orvo-panel: %s\n", problem.c_str());
    site_problems_ = problems;
  }
  // Each room's file read once.
  struct Cached {
    RoomFile file;
    bool usable = false;
  };
  std::map<std::string, std::unique_ptr<Cached>> files;
  bool changed = false;
  for (auto& [address, entry] : entries_) {
    const site::Room* room = site::site_room(rooms, address);
    entry->room = room != nullptr ? std::optional<std::string>(room->name) : std::nullopt;
    entry->differences.reset();
    if (room != nullptr && entry->settings) {
      std::unique_ptr<Cached>& cached = files[room->name];
      if (!cached) {
        cached = std::make_unique<Cached>();
        cached->usable = room_file_read(options_.state_dir, room->name, &cached->file).empty();
      }
      ApplianceSettings expected;
      SettingsNamed named = 0;
      if (cached->usable &&
          room_expected(room->name, cached->file, *entry->settings, &expected, &named).empty()) {
        entry->differences = settings_mismatches(expected, *entry->settings, named);
      }
    }
    std::string shown = view_json(view_of(*entry));
    if (shown != entry->shown) {
      entry->shown = std::move(shown);
      changed = true;
    }
  }
  std::string rooms_shown = json_names(this->rooms());
  if (rooms_shown != rooms_shown_) {
    rooms_shown_ = std::move(rooms_shown);
    changed = true;
  }
  if (changed) {
    ++changes_;
    changed_.notify_all();
  }
}

ApplianceView SiteModel::view_of(const Entry& entry) {
  ApplianceView view;
  view.address = entry.address;
  view.room = entry.room;
  view.version = entry.version;
  view.state = entry.busy ? ApplianceState::kBusy
               : entry.misses >= kMissedPolls || (!entry.answered && entry.misses > 0)
                   ? ApplianceState::kSilent
                   : ApplianceState::kUp;
  view.dsp_status = entry.dsp_status;
  view.dsp_up = entry.dsp_up;
  view.differences = entry.differences;
  view.settings = entry.settings;
  view.identify = entry.identify_until != 0;
  view.busy = entry.busy;
  return view;
}

std::vector<std::string> SiteModel::rooms() const {
  std::vector<std::string> names;
  DIR* folder = opendir(options_.state_dir.c_str());
  if (folder == nullptr) return names;
  while (const dirent* file = readdir(folder)) {
    struct stat status;
    if (site::room_name_valid(file->d_name) &&
        fstatat(dirfd(folder), file->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      names.emplace_back(file->d_name);
    }
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<ApplianceView> SiteModel::appliances() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ApplianceView> views;
  for (const auto& [address, entry] : entries_) views.push_back(view_of(*entry));
  return views;
}

std::optional<ApplianceView> SiteModel::appliance(std::uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(address);
  if (found == entries_.end()) return std::nullopt;
  return view_of(*found->second);
}

bool SiteModel::watched_locked(std::uint32_t address, long long now_ms) const {
  const auto watchers = watchers_.find(address);
  const auto interest = interest_until_.find(address);
  return (watchers != watchers_.end() && watchers->second > 0) ||
         (interest != interest_until_.end() && interest->second > now_ms);
}

// Marks something as asked for: the poller reads it at once when it was
// not watched already.
void SiteModel::interest(std::uint32_t address) {
  const long long now = clock_ms();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!watched_locked(address, now)) {
    poll_now_ = true;
    poll_.notify_all();
  }
  interest_until_[address] = now + std::chrono::milliseconds(kInterest).count();
}

std::string SiteModel::site_json() {
  interest(0);
  const std::vector<std::string> rooms_now = rooms();
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = "{\"appliances\":[";
  std::set<std::string> versions;
  bool first = true;
  for (const auto& [address, entry] : entries_) {
    const ApplianceView view = view_of(*entry);
    if (!first) out += ',';
    out += summary_fields(view);
    out += '}';
    first = false;
    if (view.version && view.state != ApplianceState::kSilent) versions.insert(*view.version);
  }
  return out + "],\"mixed_versions\":" + (versions.size() > 1 ? "true" : "false") +
         ",\"rooms\":" + json_names(rooms_now) + "}";
}

std::optional<std::string> SiteModel::appliance_json(const std::string& address_given,
                                                     Refusal* refusal) {
  std::uint32_t address;
  if (!address_parse(address_given, &address)) {
    *refusal = Refusal::kBadRequest;
    return std::nullopt;
  }
  if (!allowed(address)) {
    *refusal = Refusal::kForbidden;
    return std::nullopt;
  }
  interest(address);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(address);
  if (found == entries_.end()) {
    *refusal = Refusal::kNotFound;
    return std::nullopt;
  }
  *refusal = Refusal::kNone;
  return view_json(view_of(*found->second));
}

std::string SiteModel::discover(const std::string& range_text, Refusal* refusal) {
  std::vector<FindTarget> targets;
  if (range_text.empty()) {
    for (const AddressRange& range : options_.targets) targets.push_back(FindTarget{range, 0});
  } else {
    AddressRange range;
    if (!range_parse(range_text.c_str(), kFindSmallestPrefix, &range)) {
      *refusal = Refusal::kBadRequest;
      return "not an address or network (A.B.C.D or A.B.C.D/16..32): " + range_text;
    }
    bool within = false;
    for (const AddressRange& target : options_.targets)
      within = within || (range.first >= target.first && range.last <= target.last);
    if (!within) {
      *refusal = Refusal::kForbidden;
      return range_text + " is not within the targets";
    }
    targets.push_back(FindTarget{range, 0});
  }
  if (targets.empty()) {
    *refusal = Refusal::kForbidden;
    return "no targets";
  }
  Found found{};
  const int error =
      appliances_find(targets.data(), static_cast<int>(targets.size()),
                      Timing{reply_ms(options_.timeout_ms), 0, options_.timeout_ms},
                      options_.port != 0 ? options_.port : orvo::kControlPort, &found);
  if (error != 0) {
    *refusal = Refusal::kFailed;
    return std::string("cannot search: ") + strerror(error);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < found.count; ++i) {
      const Appliance& appliance = found.list[i];
      // Anybody may answer a broadcast: only the targets count.
      if (!allowed(appliance.address)) continue;
      Entry& entry = entry_locked(appliance.address);
      if (appliance.version != nullptr) entry.version = appliance.version;
      entry.misses = 0;
      entry.answered = true;
      // Its settings (for drift) are read next.
      if (!entry.settings) entry.refresh = true;
    }
    settle_locked();
    poll_now_ = true;
    poll_.notify_all();
  }
  appliances_free(&found);
  *refusal = Refusal::kNone;
  return "";
}

std::string SiteModel::add(const std::string& address_given, Refusal* refusal) {
  std::uint32_t address;
  if (!address_parse(address_given, &address)) {
    *refusal = Refusal::kBadRequest;
    return "not an address (A.B.C.D): " + address_given;
  }
  if (!allowed(address)) {
    *refusal = Refusal::kForbidden;
    return address_given + " is not within the targets";
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entry_locked(address);
  }
  // Shown as silent when it does not answer.
  read_now(address, nullptr);
  *refusal = Refusal::kNone;
  return "";
}

SendResult SiteModel::exchange_line(std::uint32_t address, const std::string& line) {
  const char* lines[] = {line.c_str()};
  char* replies[1] = {nullptr};
  Peer peer{};
  peer.address = socket_address(address, options_.port);
  peer.lines = lines;
  peer.line_count = 1;
  peer.replies = replies;
  // The client's rules: resends, and the time a long command takes on top.
  exchange_run(&peer, 1, Timing{reply_ms(options_.timeout_ms), kSends - 1, 0});
  SendResult result;
  result.line = line;
  if (peer.outcome == kPeerDone) {
    result.outcome = Outcome::kDone;
    result.reply = replies[0] != nullptr ? replies[0] : "";
  } else if (peer.outcome == kPeerRefused) {
    result.outcome = Outcome::kRefused;
    result.reply = "NACK " + line;  // the daemon's refusal echoes the line
  }
  free(replies[0]);
  fprintf(stderr, "orvo-panel: %s: %s -> %s\n", address_text(address).c_str(), line.c_str(),
          result.reply                 ? loggable(*result.reply).c_str()
          : peer.outcome == kPeerError ? strerror(peer.error)
                                       : "no answer");
  return result;
}

std::optional<SendResult> SiteModel::send_line(const std::string& address_given,
                                               const std::string& line, Refusal* refusal,
                                               std::string* why) {
  *why = line_check(line);
  std::uint32_t address = 0;
  if (why->empty() && !address_parse(address_given, &address)) {
    *why = "not an address (A.B.C.D): " + address_given;
  }
  if (!why->empty()) {
    *refusal = Refusal::kBadRequest;
    return std::nullopt;
  }
  if (!allowed(address)) {
    *refusal = Refusal::kForbidden;
    *why = address_given + " is not within the targets";
    return std::nullopt;
  }
  int count = 0;
  const orvo::Command* row = orvo::line_row(line.c_str(), &count);
  const bool long_command = row->busy_s > 0;
  if (long_command) {
    std::lock_guard<std::mutex> lock(mutex_);
    entry_locked(address).busy = row->keyword;
    settle_locked();
  }
  SendResult result = exchange_line(address, line);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entry_locked(address);
    if (long_command) entry.busy.reset();
    if (result.outcome != Outcome::kSilent) {
      entry.misses = 0;
      entry.answered = true;
    } else if (!entry.answered && entry.misses == 0) {
      entry.misses = 1;  // never heard from: silent, not up
    }
    if (result.outcome == Outcome::kDone && strcmp(row->keyword, "ID") == 0) {
      const bool on = line == "ID 1";
      entry.identify_until = on ? clock_ms() + options_.identify_ms : 0;
      entry.identify_tries = 0;
    }
    // What it changed shows at the poller's next round.
    if (result.outcome == Outcome::kDone && !orvo::command_reads(*row, count)) entry.refresh = true;
    settle_locked();
    poll_now_ = true;
    poll_.notify_all();
  }
  // After a refusal the page must see what the appliance has now.
  if (result.outcome == Outcome::kRefused) read_now(address, nullptr);
  *refusal = Refusal::kNone;
  why->clear();
  return result;
}

SiteModel::Watch::Watch(SiteModel& model, std::uint32_t address)
    : model_(model), address_(address) {
  std::lock_guard<std::mutex> lock(model_.mutex_);
  ++model_.watchers_[0];
  if (address_ != 0) ++model_.watchers_[address_];
  model_.poll_now_ = true;
  model_.poll_.notify_all();
}

SiteModel::Watch::~Watch() {
  std::lock_guard<std::mutex> lock(model_.mutex_);
  --model_.watchers_[0];
  if (address_ != 0 && --model_.watchers_[address_] == 0) model_.watchers_.erase(address_);
}

std::uint64_t SiteModel::changes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

std::uint64_t SiteModel::wait_for_change(std::uint64_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this, seen] { return changes_ != seen || stopping_; });
  return changes_;
}

void SiteModel::refresh(const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& text : addresses) {
    std::uint32_t address;
    if (address_parse(text, &address) && allowed(address)) entry_locked(address).refresh = true;
  }
  poll_now_ = true;
  poll_.notify_all();
}

void SiteModel::rooms_changed() {
  std::lock_guard<std::mutex> lock(mutex_);
  settle_locked();
}

void SiteModel::identify_ends(long long now_ms) {
  std::vector<std::uint32_t> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [address, entry] : entries_) {
      if (entry->identify_until != 0 && entry->identify_until <= now_ms && !entry->busy)
        due.push_back(address);
    }
  }
  for (const std::uint32_t address : due) {
    const SendResult result = exchange_line(address, "ID 0");
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entry_locked(address);
    if (result.outcome == Outcome::kSilent && ++entry.identify_tries < kIdentifyTries) {
      entry.identify_until = clock_ms() + kIdentifyRetryMs;
    } else {
      entry.identify_until = 0;
      entry.identify_tries = 0;
    }
    settle_locked();
  }
}

long long SiteModel::poll_due(long long now) {
  identify_ends(now);
  std::vector<Read> reads;
  bool appliances_watched = false, site_watched = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    poll_now_ = false;
    site_watched = watched_locked(0, now);
    const bool site_due = site_watched && now >= next_site_ms_;
    const bool full_due = now >= next_full_ms_;
    // Once a round of the site list, one appliance (in turn) is read in
    // full, so that drift stays current for those not on screen.
    std::uint32_t in_turn = 0;
    if (site_due) {
      const auto next = entries_.upper_bound(round_robin_);
      if (next != entries_.end()) {
        in_turn = next->first;
      } else if (!entries_.empty()) {
        in_turn = entries_.begin()->first;
      }
      round_robin_ = in_turn;
      next_site_ms_ = now + kSiteMs;
    }
    for (auto& [address, entry] : entries_) {
      // A long command blocks the daemon: nothing is asked meanwhile.
      if (entry->busy) continue;
      const bool watched = watched_locked(address, now);
      appliances_watched = appliances_watched || watched;
      Read read;
      read.address = address;
      read.full = entry->refresh || (watched && full_due) || address == in_turn;
      entry->refresh = false;
      if (read.full || site_due) reads.push_back(read);
    }
    if (appliances_watched && full_due) next_full_ms_ = now + kFullMs;
    // Interest that has run out.
    for (auto i = interest_until_.begin(); i != interest_until_.end();)
      i = i->second <= now ? interest_until_.erase(i) : std::next(i);
  }
  reads_run(options_, &reads);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Read& read : reads) read_taken_locked(read);
  if (!reads.empty()) settle_locked();
  long long due = now + kIdleMs;
  if (appliances_watched) due = std::min(due, next_full_ms_);
  if (site_watched) due = std::min(due, next_site_ms_);
  for (const auto& [address, entry] : entries_) {
    if (entry->identify_until != 0) due = std::min(due, entry->identify_until);
  }
  // Interest that runs out ends the watch of its appliance.
  for (const auto& [address, until] : interest_until_) due = std::min(due, until);
  return due;
}

void SiteModel::poll_wait(long long until_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const long long left = until_ms - clock_ms();
  if (left <= 0) return;
  poll_.wait_for(lock, std::chrono::milliseconds(left), [this] { return poll_now_ || stopping_; });
}

bool SiteModel::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void SiteModel::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
  poll_.notify_all();
}

}  // namespace panel
