// The protocol's table of commands (protocol/commands.h) against what
// implements and describes them: the daemon's handlers take exactly the
// argument forms of each row, its reading forms change nothing (and ask the
// DSP where the row says so) and its setting forms keep what they set; the manual pages describe
// those forms, the completion and the capture dissector know the keywords and ranges.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "protocol/commands.h"
#include "tests/daemon_standins.h"

namespace {

bool is(const orvo::Command& row, const char* keyword) { return strcmp(row.keyword, keyword) == 0; }

// A request of the row's command with count arguments that the daemon takes
// when the form is one of the row's.
std::string request(const orvo::Command& row, int count) {
  std::string line = row.keyword;
  for (int i = 0; i < count; ++i) {
    const bool component = i == 1 && (is(row, "STS") || is(row, "STSB"));
    line += component ? (is(row, "STS") ? " R=1" : " R=100") : is(row, "ID") ? " 0" : " 1";
  }
  return line;
}

TEST(CommandTable, TheDaemonTakesTheFormsOfEachRowAndNoOthers) {
  for (const orvo::Command& row : orvo::kCommands) {
    // Not run: the commands that keep the daemon busy for seconds, and
    // VERSION, which reads a file of the platform.
    const bool runs = row.busy_s == 0 && !is(row, "VERSION");
    for (int count = 0; count < orvo::kMaxTokens; ++count) {
      const std::string line = request(row, count);
      const bool form = (row.forms & orvo::arguments(count)) != 0;
      if (form && !runs) continue;
      const DaemonState before = daemon_state();
      standin_writes = {};
      standin_dsp_reads = 0;
      const std::string reply = daemon_request(line);
      if (!form) {
        EXPECT_EQ(reply, "NACK") << line;
        EXPECT_TRUE(daemon_state() == before) << line << " changed something";
        continue;
      }
      EXPECT_EQ(reply.rfind(std::string("ACK ") + row.keyword, 0), 0u) << line << ": " << reply;
      if (orvo::command_reads(row, count)) {
        EXPECT_TRUE(daemon_state() == before) << line << " changed something";
        EXPECT_EQ(standin_writes.dsp + standin_writes.leds + standin_writes.files, 0) << line;
        // What the exporter takes for a DSP read, which a failing DSP refuses.
        EXPECT_EQ(standin_dsp_reads > 0, row.dsp_read) << line;
        EXPECT_EQ(orvo::line_reads_dsp(line.c_str()), row.dsp_read) << line;
      }
      if (orvo::command_sets(row, count)) {
        EXPECT_GT(standin_writes.files, 0) << line << " kept nothing";
      }
    }
  }
}

std::string file_text(const std::string& relative) {
  std::ifstream in(std::string(ORVO_SOURCE_DIR) + "/" + relative);
  EXPECT_TRUE(in.good()) << relative;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::vector<std::string> keywords() {
  std::vector<std::string> out;
  for (const orvo::Command& row : orvo::kCommands) out.push_back(row.keyword);
  return out;
}

// A manual page's entry tag as it reads: ".BR NULL \" [\" \\fIa\\fP ..." is
// "NULL [a [b]]" (the macro's arguments joined, fonts and quotes dropped).
std::string tag_text(const std::string& line) {
  std::string text;
  bool quoted = false;
  for (size_t i = line.find(' '); i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == 'f') {
      i += 2;
    } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == '-') {
      text += '-';
      ++i;
    } else if (c != ' ' || quoted) {
      text += c;
    }
  }
  return text;
}

// The argument counts a tag allows: the words after the keyword, those in
// brackets optional ("EQ band [gain]" takes 1 or 2).
unsigned tag_forms(const std::string& tag) {
  int depth = 0, counted[8] = {};
  bool in_word = false;
  const size_t start = tag.find(' ');
  for (size_t i = start == std::string::npos ? tag.size() : start; i < tag.size(); ++i) {
    const char c = tag[i];
    if (c == '[') ++depth;
    if (c == ']') --depth;
    const bool word = c != ' ' && c != '[' && c != ']';
    if (word && !in_word && depth >= 0 && depth < 8) ++counted[depth];
    in_word = word;
  }
  unsigned forms = 0;
  int total = 0;
  for (int d = 0; d < 8; ++d) {
    total += counted[d];
    if (d == 0 || counted[d] != 0) forms |= 1u << total;
  }
  return forms;
}

TEST(CommandTable, ManualPagesDescribeTheFormsOfEveryCommand) {
  for (const char* page : {"man/orvo-udpd.8", "man/orvo-udpc.1"}) {
    // Each command is an entry of its own: a .TP or .TQ tag naming it.
    std::map<std::string, unsigned> entries;
    std::istringstream lines(file_text(page));
    bool tag = false;
    for (std::string line; std::getline(lines, line);) {
      if (tag && line.rfind(".B", 0) == 0) {
        const std::string text = tag_text(line);
        entries[text.substr(0, text.find(' '))] = tag_forms(text);
      }
      tag = line == ".TP" || line == ".TQ";
    }
    for (const orvo::Command& row : orvo::kCommands) {
      const auto entry = entries.find(row.keyword);
      if (entry == entries.end()) {
        ADD_FAILURE() << page << " has no entry for " << row.keyword;
      } else {
        EXPECT_EQ(entry->second, row.forms) << page << ": the forms of " << row.keyword;
      }
    }
  }
}

TEST(CommandTable, DissectorKnowsTheKeywordsPortAndTokens) {
  const std::string lua = file_text("dist/orvo.lua");
  const size_t open = lua.find("([["), close = lua.find("]])", open);
  ASSERT_NE(close, std::string::npos) << "no keyword list in dist/orvo.lua";
  EXPECT_EQ(words(lua.substr(open + 3, close - open - 3)), keywords());
  EXPECT_NE(lua.find("local PORT = " + std::to_string(orvo::kControlPort) + "\n"),
            std::string::npos);
  EXPECT_NE(lua.find("local MAX_TOKENS = " + std::to_string(orvo::kMaxTokens) + " "),
            std::string::npos);
}

// The completion's candidates for each line typed so far, each sorted and
// joined by spaces, from one bash that loads it.
std::vector<std::string> completions(const std::vector<std::string>& typed) {
  char path[] = "/tmp/protocol_test.XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  std::string input;
  for (const std::string& line : typed) input += line + "\n";
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  const std::string command =
      std::string("bash -c '. \"$0\" && while IFS= read -r line; do COMP_LINE=$line "
                  "COMP_POINT=${#line}; COMPREPLY=(); _orvo_udpc 2>/dev/null; "
                  "printf \"%s\\n\" \"${COMPREPLY[*]}\"; done <\"$1\"' ") +
      ORVO_SOURCE_DIR "/dist/orvo-udpc.bash-completion " + path;
  FILE* out = popen(command.c_str(), "r");
  EXPECT_NE(out, nullptr);
  std::vector<std::string> got;
  char buffer[4096];
  while (out != nullptr && fgets(buffer, sizeof buffer, out) != nullptr) {
    std::vector<std::string> candidates = words(buffer);
    std::sort(candidates.begin(), candidates.end());
    std::string joined;
    for (const std::string& c : candidates) joined += (joined.empty() ? "" : " ") + c;
    got.push_back(joined);
  }
  if (out != nullptr) {
    EXPECT_EQ(pclose(out), 0);
  }
  unlink(path);
  return got;
}

// "from to step" as words, sorted as text, with prefix before each.
std::string numbers(int from, int to, int step = 1, const std::string& prefix = "") {
  std::vector<std::string> list;
  for (int n = from; n <= to; n += step) list.push_back(prefix + std::to_string(n));
  std::sort(list.begin(), list.end());
  std::string joined;
  for (const std::string& n : list) joined += (joined.empty() ? "" : " ") + n;
  return joined;
}

TEST(CommandTable, CompletionOffersTheKeywordsAndTheArgumentRanges) {
  const std::string completion = file_text("dist/orvo-udpc.bash-completion");
  const size_t open = completion.find("_orvo_udpc_keywords=\"");
  ASSERT_NE(open, std::string::npos);
  const size_t from = open + strlen("_orvo_udpc_keywords=\"");
  EXPECT_EQ(words(completion.substr(from, completion.find('"', from) - from)), keywords());

  std::vector<std::string> all = keywords();
  std::sort(all.begin(), all.end());
  std::string sorted;
  for (const std::string& k : all) sorted += (sorted.empty() ? "" : " ") + k;
  const std::string on_off = numbers(0, 1);
  const std::string channels = numbers(0, orvo::kLedStateChannels);
  std::vector<std::string> letters;
  for (const char* k = orvo::kComponentLetters; *k != '\0'; ++k) letters.push_back({*k, '='});
  std::sort(letters.begin(), letters.end());
  std::string components;
  for (const std::string& k : letters) components += (components.empty() ? "" : " ") + k;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"orvo-udpc appliance ", sorted},
      {"orvo-udpc appliance ID ", on_off},
      {"orvo-udpc appliance TRACKING ", on_off},
      {"orvo-udpc appliance NOISESUP ", on_off},
      {"orvo-udpc appliance NOISERED ", on_off},
      {"orvo-udpc appliance APT ", numbers(0, orvo::kAptModes)},
      {"orvo-udpc appliance EQ ", numbers(0, orvo::kEqBands - 1)},
      {"orvo-udpc appliance STS ", channels},
      {"orvo-udpc appliance GTS ", channels},
      {"orvo-udpc appliance STSB ", channels},
      {"orvo-udpc appliance GTSB ", channels},
      {"orvo-udpc appliance SRGB ", channels},
      {"orvo-udpc appliance GRGB ", channels},
      {"orvo-udpc appliance NULL ", numbers(0, orvo::kLastNullChannel)},
      {"orvo-udpc appliance NULL 3 ", numbers(orvo::kFirstNullChannel, orvo::kLastNullChannel)},
      {"orvo-udpc appliance STS 3 ", components},
      {"orvo-udpc appliance STS 3 G=", on_off},
      {"orvo-udpc appliance STSB 0 R=", numbers(0, orvo::kPercentFull, orvo::kPercentStep)},
  };
  std::vector<std::string> typed;
  for (const auto& c : cases) typed.push_back(c.first);
  // Nothing after the last argument of any form.
  for (const orvo::Command& row : orvo::kCommands) {
    int most = 0;
    for (int count = 0; count < orvo::kMaxTokens; ++count) {
      if ((row.forms & orvo::arguments(count)) != 0) most = count;
    }
    std::string line = std::string("orvo-udpc appliance ") + row.keyword + " ";
    for (int i = 0; i < most; ++i) line += "1 ";
    typed.push_back(line);
  }
  const std::vector<std::string> got = completions(typed);
  ASSERT_EQ(got.size(), typed.size());
  for (size_t i = 0; i < typed.size(); ++i) {
    const std::string want = i < cases.size() ? cases[i].second : "";
    EXPECT_EQ(got[i], want) << "completing [" << typed[i] << "]";
  }
}

}  // namespace
