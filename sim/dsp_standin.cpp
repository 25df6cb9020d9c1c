#include "sim/dsp_standin.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t busy_request = 0xFFFF;
// Written into the busy word when we decide to hang on a request. The daemon
// treats any non-zero busy word as "still working", so it keeps waiting just
// as if we had left 0xFFFF there; but because the word no longer reads
// 0xFFFF, the daemon's next request (which stores 0xFFFF again) is visible to
// us and gets served normally.
constexpr uint16_t busy_hung = 0xFFFE;

constexpr auto poll_interval = std::chrono::microseconds(300);

enum Word : unsigned { w_busy, w_direction, w_param, w_value, w_error };

constexpr uint16_t to_le(uint16_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return static_cast<uint16_t>((v >> 8) | (v << 8));
    return v;
}

struct Fault {
    DspFault kind = DspFault::none;
    uint16_t code = 0;
};

}  // namespace

struct DspStandin {
    uint16_t* mbox = nullptr;  // start of the mapped window
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::function<void()> on_change;

    std::mutex mu;  // guards everything below
    std::array<uint16_t, dsp_param_count> table{};
    std::array<Fault, dsp_param_count> faults{};
    std::vector<DspRequest> log;
    unsigned mictest_ms = 0;
    uint16_t mictest_result = 0;
    bool test_running = false;
    Clock::time_point test_deadline;
    uint16_t test_result = 0;  // result of the running test
    bool changed = false;      // a test finished since the last notification

    std::atomic_ref<uint16_t> word(Word w) { return std::atomic_ref<uint16_t>(mbox[w]); }

    // Caller holds mu.
    void finish_test_if_due(Clock::time_point now)
    {
        if (!test_running || faults[dsp_param_mictest].kind == DspFault::test_never_finishes ||
            now < test_deadline)
            return;
        test_running = false;
        table[dsp_param_mictest] = 0;
        table[dsp_param_mictest_result] = test_result;
        changed = true;
    }

    // Caller holds mu. Carries out one request against the table.
    DspRequest execute(uint16_t direction, uint16_t param, uint16_t value)
    {
        DspRequest r{direction, param, value, 0, false};
        if (param >= dsp_param_count || direction > 1) {
            r.error = dsp_err_bad_param;
            return r;
        }
        const Fault& f = faults[param];
        if (f.kind == DspFault::hang) {
            r.hung = true;
            return r;
        }
        if (f.kind == DspFault::error_code) {
            r.error = f.code;
            return r;
        }
        if (direction == 0) {
            uint16_t v = table[param];
            if (f.kind == DspFault::readback_differs)
                v = static_cast<uint16_t>(v + 1);
            r.value = v;
            return r;
        }
        if (param == dsp_param_mictest_result || param == dsp_param_status) {
            r.error = dsp_err_bad_param;
            return r;
        }
        table[param] = value;
        if (param == dsp_param_mictest) {
            test_running = value == 1;
            if (test_running) {
                test_deadline = Clock::now() + std::chrono::milliseconds(mictest_ms);
                test_result = mictest_result;
            }
        }
        return r;
    }

    void serve_one()
    {
        const uint16_t direction = to_le(word(w_direction).load(std::memory_order_relaxed));
        const uint16_t param = to_le(word(w_param).load(std::memory_order_relaxed));
        const uint16_t value = to_le(word(w_value).load(std::memory_order_relaxed));

        DspRequest r;
        {
            std::lock_guard lock(mu);
            finish_test_if_due(Clock::now());
            r = execute(direction, param, value);
            log.push_back(r);
        }

        if (r.hung) {
            // Only replace our own view of the request; should the daemon have
            // given up and already stored a fresh 0xFFFF, that is the same
            // value and we would simply hang on its new request instead.
            uint16_t expected = busy_request;
            word(w_busy).compare_exchange_strong(expected, busy_hung, std::memory_order_relaxed);
            return;
        }
        if (direction == 0 && r.error == 0)
            word(w_value).store(to_le(r.value), std::memory_order_relaxed);
        word(w_error).store(to_le(r.error), std::memory_order_relaxed);
        // Release: the answer words above are visible before busy reads 0.
        word(w_busy).store(0, std::memory_order_release);
    }

    void run()
    {
        while (!stopping.load(std::memory_order_relaxed)) {
            bool notify = false;
            if (word(w_busy).load(std::memory_order_acquire) == busy_request) {
                serve_one();
                notify = true;
            }
            {
                std::lock_guard lock(mu);
                finish_test_if_due(Clock::now());
                notify = notify || changed;
                changed = false;
            }
            if (notify && on_change)
                on_change();
            std::this_thread::sleep_for(poll_interval);
        }
    }
};

int dsp_standin_make_mem(const char* path)
{
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (::ftruncate(fd, dsp_mem_file_size) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return ::close(fd);
}

DspStandin* dsp_standin_start(const char* mem_path, const DspStandinConfig& cfg)
{
    const int fd = ::open(mem_path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st{};
    // A plain file too short for the window would map fine and then fault on
    // first access; refuse it up front. Device nodes report size 0.
    if (::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && st.st_size < dsp_mem_file_size)) {
        const int e = errno;
        ::close(fd);
        errno = S_ISREG(st.st_mode) ? EINVAL : e;
        return nullptr;
    }
    void* p = ::mmap(nullptr, dsp_mailbox_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     dsp_mailbox_offset);
    const int e = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        errno = e;
        return nullptr;
    }

    auto* s = new (std::nothrow) DspStandin;
    if (s == nullptr) {
        ::munmap(p, dsp_mailbox_size);
        errno = ENOMEM;
        return nullptr;
    }
    s->mbox = static_cast<uint16_t*>(p);
    s->on_change = cfg.on_change;
    s->mictest_ms = cfg.mictest_ms;
    s->mictest_result = cfg.mictest_result;
    s->table = {1, 1, 0, 0, 0, 1, 0xFFFF, 0xFFFF, 0, 0, cfg.status, 0, 0, 0, 0};
    try {
        s->thread = std::thread([s] { s->run(); });
    } catch (const std::system_error&) {
        ::munmap(p, dsp_mailbox_size);
        delete s;
        errno = EAGAIN;
        return nullptr;
    }
    return s;
}

void dsp_standin_stop(DspStandin* s)
{
    if (s == nullptr)
        return;
    s->stopping.store(true);
    s->thread.join();
    ::munmap(s->mbox, dsp_mailbox_size);
    delete s;
}

uint16_t dsp_standin_value(DspStandin* s, unsigned param)
{
    if (param >= dsp_param_count)
        return 0;
    std::lock_guard lock(s->mu);
    s->finish_test_if_due(Clock::now());
    return s->table[param];
}

void dsp_standin_set_value(DspStandin* s, unsigned param, uint16_t value)
{
    if (param >= dsp_param_count)
        return;
    std::lock_guard lock(s->mu);
    s->table[param] = value;
    if (param == dsp_param_mictest)
        s->test_running = false;  // a forced value ends any running test
}

std::array<uint16_t, dsp_param_count> dsp_standin_table(DspStandin* s)
{
    std::lock_guard lock(s->mu);
    s->finish_test_if_due(Clock::now());
    return s->table;
}

void dsp_standin_set_fault(DspStandin* s, unsigned param, DspFault fault, uint16_t code)
{
    if (param >= dsp_param_count)
        return;
    std::lock_guard lock(s->mu);
    s->faults[param] = Fault{fault, code};
}

void dsp_standin_set_mictest(DspStandin* s, unsigned ms, uint16_t result)
{
    std::lock_guard lock(s->mu);
    s->mictest_ms = ms;
    s->mictest_result = result;
}

std::vector<DspRequest> dsp_standin_requests(DspStandin* s)
{
    std::lock_guard lock(s->mu);
    return s->log;
}

void dsp_standin_clear_requests(DspStandin* s)
{
    std::lock_guard lock(s->mu);
    s->log.clear();
}
