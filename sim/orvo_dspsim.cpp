// orvo-dspsim: serves the DSP parameter mailbox on a mem file until SIGINT or
// SIGTERM, so the daemon can run without the DSP. SIGUSR1 prints the table.
#include "sim/dsp_standin.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

const char usage_text[] =
    "usage: orvo-dspsim --mem PATH [--mictest-ms N] [--mictest-result N] [--status N]\n"
    "                   [--fault FAULT]... [--table-file PATH]\n"
    "  FAULT is one of P:error=CODE  P:hang  P:readback  8:never   (P = 0..14)\n"
    "  --table-file    rewrite PATH with \"N VALUE\" lines after every request\n"
    "  SIGUSR1 prints the parameter table to stdout.\n";

struct FaultArg {
    unsigned param;
    DspFault fault;
    uint16_t code;
};

bool parse_num(std::string_view s, unsigned long max, unsigned long& out)
{
    if (s.empty())
        return false;
    const std::string str(s);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(str.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || str[0] == '-' || v > max)
        return false;
    out = v;
    return true;
}

bool parse_fault(std::string_view s, FaultArg& f)
{
    const auto colon = s.find(':');
    unsigned long param = 0;
    if (colon == std::string_view::npos || !parse_num(s.substr(0, colon), dsp_param_count - 1, param))
        return false;
    const std::string_view kind = s.substr(colon + 1);
    f = FaultArg{static_cast<unsigned>(param), DspFault::none, 0};
    if (kind == "hang") {
        f.fault = DspFault::hang;
    } else if (kind == "readback") {
        f.fault = DspFault::readback_differs;
    } else if (kind == "never" && param == dsp_param_mictest) {
        f.fault = DspFault::test_never_finishes;
    } else if (kind.starts_with("error=")) {
        unsigned long code = 0;
        if (!parse_num(kind.substr(6), 0xFFFF, code) || code == 0)
            return false;
        f.fault = DspFault::error_code;
        f.code = static_cast<uint16_t>(code);
    } else {
        return false;
    }
    return true;
}

std::atomic<DspStandin*> g_dsp{nullptr};
std::string g_table_file;
std::mutex g_table_mu;
bool g_table_warned = false;

// Replaces the table file in one step so that readers never see half of it.
void write_table_file()
{
    DspStandin* dsp = g_dsp.load();
    if (dsp == nullptr || g_table_file.empty())
        return;
    const auto table = dsp_standin_table(dsp);
    std::lock_guard lock(g_table_mu);
    const std::string tmp = g_table_file + ".tmp";
    bool ok = false;
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        for (unsigned i = 0; i < table.size(); ++i)
            std::fprintf(f, "%u %u\n", i, static_cast<unsigned>(table[i]));
        ok = std::fflush(f) == 0 && std::ferror(f) == 0;
        ok = std::fclose(f) == 0 && ok;
        ok = ok && std::rename(tmp.c_str(), g_table_file.c_str()) == 0;
    }
    if (!ok && !g_table_warned) {
        std::fprintf(stderr, "orvo-dspsim: cannot write %s: %s\n", g_table_file.c_str(),
                     std::strerror(errno));
        g_table_warned = true;
    }
}

void print_table(DspStandin* dsp)
{
    const auto table = dsp_standin_table(dsp);
    for (unsigned i = 0; i < table.size(); ++i)
        std::printf("%2u 0x%04x %u\n", i, static_cast<unsigned>(table[i]),
                    static_cast<unsigned>(table[i]));
    std::fflush(stdout);
}

int usage()
{
    std::fputs(usage_text, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mem = nullptr;
    DspStandinConfig cfg;
    std::vector<FaultArg> faults;

    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (i + 1 >= argc)
            return usage();
        const char* arg = argv[++i];
        unsigned long n = 0;
        if (opt == "--mem") {
            mem = arg;
        } else if (opt == "--table-file") {
            g_table_file = arg;
        } else if (opt == "--mictest-ms" && parse_num(arg, 600000, n)) {
            cfg.mictest_ms = static_cast<unsigned>(n);
        } else if (opt == "--mictest-result" && parse_num(arg, 0xFFFF, n)) {
            cfg.mictest_result = static_cast<uint16_t>(n);
        } else if (opt == "--status" && parse_num(arg, 0xFFFF, n)) {
            cfg.status = static_cast<uint16_t>(n);
        } else if (FaultArg f{}; opt == "--fault" && parse_fault(arg, f)) {
            faults.push_back(f);
        } else {
            std::fprintf(stderr, "orvo-dspsim: bad option %s %s\n", argv[i - 1], arg);
            return usage();
        }
    }
    if (mem == nullptr)
        return usage();

    // Block the signals before the serving thread exists so that it inherits
    // the mask and only sigwait() below ever sees them.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    cfg.on_change = write_table_file;
    DspStandin* dsp = dsp_standin_start(mem, cfg);
    if (dsp == nullptr) {
        std::fprintf(stderr, "orvo-dspsim: %s: %s\n", mem, std::strerror(errno));
        return 1;
    }
    for (const FaultArg& f : faults)
        dsp_standin_set_fault(dsp, f.param, f.fault, f.code);
    g_dsp.store(dsp);
    write_table_file();
    std::fprintf(stderr, "orvo-dspsim: serving %s (pid %d)\n", mem, static_cast<int>(getpid()));

    for (;;) {
        int sig = 0;
        if (sigwait(&sigs, &sig) != 0)
            continue;
        if (sig == SIGUSR1) {
            print_table(dsp);
            continue;
        }
        break;
    }
    g_dsp.store(nullptr);
    dsp_standin_stop(dsp);
    return 0;
}
