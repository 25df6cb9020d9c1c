#include "panel/rooms.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/exchange.h"
#include "http/http.h"
#include "panel/lines.h"
#include "protocol/protocol.h"
#include "site/site.h"

namespace panel {

namespace {

constexpr size_t kLargestRoomFile = 1 << 20;

// A request's time-out before it is sent again, as for the model's sends.
int reply_ms(int timeout_ms) {
  const int ms = timeout_ms / 4;
  return ms < 100 ? 100 : ms > 1000 ? 1000 : ms;
}

// The address of a request: parsed and within the targets.
std::string address_checked(const SiteModel& model, const std::string& text, std::uint32_t* address,
                            Refusal* refusal) {
  if (!address_parse(text, address)) {
    *refusal = Refusal::kBadRequest;
    return "not an address (A.B.C.D): " + text;
  }
  if (!model.allowed(*address)) {
    *refusal = Refusal::kForbidden;
    return text + " is not within the targets";
  }
  *refusal = Refusal::kNone;
  return "";
}

std::string room_checked(const std::string& room, Refusal* refusal) {
  if (site::room_name_valid(room)) return "";
  *refusal = Refusal::kBadRequest;
  return "a room's name is 1 to 64 letters, digits, '_' or '-'";
}

}  // namespace

RoomFile::~RoomFile() {
  free(commands.lines);
  free(commands.numbers);
}

std::string room_file_read(const std::string& folder, const std::string& room, RoomFile* file) {
  if (!site::room_name_valid(room)) return "not a room's name: " + room;
  int error = 0;
  const std::string problem =
      site::file_read(folder + "/" + room, kLargestRoomFile, &file->text, &error);
  if (error == ENOENT) return "no room " + room;
  if (!problem.empty()) return problem;
  Failure failure{};
  if (commands_take(file->text.data(), file->text.size(), &file->commands, &failure) != kStatusOk) {
    return room + ":" + std::to_string(failure.line) + ": " + failure.reason;
  }
  return "";
}

std::string room_expected(const std::string& room, const RoomFile& file,
                          const ApplianceSettings& now, ApplianceSettings* expected,
                          SettingsNamed* named) {
  *expected = now;
  *named = 0;
  for (int i = 0; i < file.commands.count; ++i) {
    if (!settings_apply(expected, file.commands.lines[i], named)) {
      return room + ":" + std::to_string(file.commands.numbers[i]) +
             ": not a setting that can be compared";
    }
  }
  return "";
}

std::string room_save(SiteModel& model, const std::string& address_given, const std::string& room,
                      Refusal* refusal) {
  std::uint32_t address;
  std::string why = address_checked(model, address_given, &address, refusal);
  if (why.empty()) why = room_checked(room, refusal);
  if (!why.empty()) return why;
  std::string text;
  why = snapshot_text(model, address_given, &text, refusal);
  if (!why.empty()) return why;
  const std::string& folder = model.options().state_dir;
  why = site::file_replace(folder, room, text, 0644);
  if (why.empty()) why = site::site_assign(folder, address, room);
  model.rooms_changed();
  *refusal = why.empty() ? Refusal::kNone : Refusal::kFailed;
  return why;
}

std::string room_differences(SiteModel& model, const std::string& address_given,
                             const std::string& room, std::vector<std::string>* names,
                             Refusal* refusal) {
  std::uint32_t address;
  std::string why = address_checked(model, address_given, &address, refusal);
  if (why.empty()) why = room_checked(room, refusal);
  if (!why.empty()) return why;
  RoomFile file;
  why = room_file_read(model.options().state_dir, room, &file);
  if (!why.empty()) {
    *refusal = why == "no room " + room ? Refusal::kNotFound : Refusal::kFailed;
    return why;
  }
  ApplianceSettings now, expected;
  SettingsNamed named;
  why = model.settings_fetch(address, &now);
  if (why.empty()) why = room_expected(room, file, now, &expected, &named);
  if (!why.empty()) {
    *refusal = Refusal::kFailed;
    return why;
  }
  *names = settings_mismatches(expected, now, named);
  *refusal = Refusal::kNone;
  return "";
}

std::string room_apply(SiteModel& model, const std::string& room,
                       const std::vector<std::string>& addresses, std::vector<ApplyResult>* results,
                       Refusal* refusal) {
  std::string why = room_checked(room, refusal);
  if (!why.empty()) return why;
  std::vector<Peer> peers(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    std::uint32_t address;
    why = address_checked(model, addresses[i], &address, refusal);
    if (!why.empty()) return why;
    peers[i] = Peer{};
    peers[i].address.sin_family = AF_INET;
    peers[i].address.sin_port =
        htons(model.options().port != 0 ? model.options().port : orvo::kControlPort);
    peers[i].address.sin_addr.s_addr = htonl(address);
  }
  RoomFile file;
  why = room_file_read(model.options().state_dir, room, &file);
  if (!why.empty()) {
    *refusal = why == "no room " + room ? Refusal::kNotFound : Refusal::kFailed;
    return why;
  }
  // Every line as the pages' lines are checked, before anything is sent.
  for (int i = 0; i < file.commands.count; ++i) {
    why = line_check(file.commands.lines[i]);
    if (!why.empty()) {
      *refusal = Refusal::kBadRequest;
      return room + ":" + std::to_string(file.commands.numbers[i]) + ": " + why;
    }
  }
  for (Peer& peer : peers) {
    peer.lines = file.commands.lines;
    peer.line_count = file.commands.count;
  }
  // orvo-udpc -a's rules: one request outstanding per appliance, resends,
  // a refusal ends that appliance's exchange.
  exchange_run(peers.data(), static_cast<int>(peers.size()),
               Timing{reply_ms(model.options().timeout_ms), 3, 0});
  results->clear();
  for (size_t i = 0; i < peers.size(); ++i) {
    const Peer& peer = peers[i];
    ApplyResult result;
    result.address = addresses[i];
    result.outcome = peer.outcome == kPeerDone      ? Outcome::kDone
                     : peer.outcome == kPeerRefused ? Outcome::kRefused
                                                    : Outcome::kSilent;
    result.line = peer.outcome == kPeerDone ? 0 : file.commands.numbers[peer.line];
    fprintf(stderr, "orvo-panel: %s: room %s %s%s\n", result.address.c_str(), room.c_str(),
            outcome_name(result.outcome),
            peer.outcome == kPeerDone ? "" : (" at line " + std::to_string(result.line)).c_str());
    results->push_back(result);
  }
  model.refresh(addresses);
  *refusal = Refusal::kNone;
  return "";
}

std::string snapshot_text(SiteModel& model, const std::string& address_given, std::string* text,
                          Refusal* refusal) {
  std::uint32_t address;
  std::string why = address_checked(model, address_given, &address, refusal);
  if (!why.empty()) return why;
  ApplianceSettings settings;
  why = model.settings_fetch(address, &settings);
  if (!why.empty()) {
    *refusal = Refusal::kFailed;
    return why;
  }
  char* form = settings_text(address_given.c_str(), settings);
  if (form == nullptr) {
    *refusal = Refusal::kFailed;
    return "out of memory";
  }
  *text = form;
  free(form);
  *refusal = Refusal::kNone;
  return "";
}

std::string apply_json(const std::vector<ApplyResult>& results) {
  std::string out = "{\"results\":[";
  for (size_t i = 0; i < results.size(); ++i) {
    out += std::string(i > 0 ? "," : "") + "{\"address\":" + http::json_string(results[i].address) +
           ",\"outcome\":\"" + outcome_name(results[i].outcome) +
           "\",\"line\":" + std::to_string(results[i].line) + "}";
  }
  return out + "]}";
}

}  // namespace panel
