// Wake-up hints and the spin before a native wait blocks.
//
// A cross-core wake-up (futex wake of a thread asleep on an idle core) costs
// tens of microseconds on virtual machines, several times the rest of a
// command. So a native wait first spins for a short, self-adjusting time
// with the interpreter lock released, watching a hint that the notifier
// posts once it has released the interpreter lock itself; only then does it
// block on its waiter lock as Condition.wait does. The hint is advisory: the
// waiter lock alone decides, so a missed or spurious hint only costs time.
// The table is process-wide so that a pending hint never outlives its slot.
#include "mthread.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace mthread {
namespace {

// Hint slots: 2**kHintBits counters, shared by waiters whose addresses hash alike.
constexpr unsigned kHintBits = 12;
// MTHREAD_SPIN_US: the longest spin of one wait, and the range accepted.
constexpr std::int64_t kDefaultSpinUs = 50;
constexpr std::int64_t kMaxSpinUs = 1'000'000;
// A budget halved below this is not worth a spin: spinning stops.
constexpr std::int64_t kMinBudgetNs = 1000;
// Waits between probes: after a thread's first wait, after a hint was seen,
// and the most it backs off to after probes that saw none.
constexpr unsigned kFirstProbeEvery = 2;
constexpr unsigned kProbeEveryAfterHint = 16;
constexpr unsigned kMaxProbeEvery = 4096;
// The spin loop reads the clock once every this many turns.
constexpr unsigned kClockCheckEvery = 16;

std::atomic<std::uint32_t> g_hints[1u << kHintBits];

// The hint this thread owes a waiter it released: posted when this thread
// next gives up the interpreter lock, so that the woken thread finds it free.
thread_local std::atomic<std::uint32_t>* t_owed = nullptr;

void post(std::atomic<std::uint32_t>* hint) { hint->fetch_add(1, std::memory_order_release); }

using Clock = std::chrono::steady_clock;

std::atomic<unsigned> g_fork_generation{0};
std::atomic<int> g_spinners{0};

// A forked child has only the forking thread: spinner slots held by the
// parent's other threads would stay taken for good, and its trees' threads
// are not there.
void after_fork_in_child() {
    g_spinners.store(0, std::memory_order_relaxed);
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);

struct SpinPolicy {
    std::int64_t limit_ns = 0;  // the most one wait spins; 0: never spin
    int max_spinners = 0;       // spinning threads at once
};

// The CPUs this process may use: the main thread's affinity (a thread that
// pinned itself does not speak for the process), capped by a cgroup v2 CPU
// quota when there is one.
int usable_cpus() {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t set;
    if (sched_getaffinity(getpid(), sizeof set, &set) == 0) cpus = CPU_COUNT(&set);
    // else: more CPUs than a cpu_set_t holds; the online count stands.
    if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu.max", "r")) {
        long quota = 0, period = 0;
        if (std::fscanf(f, "%ld %ld", &quota, &period) == 2 && quota > 0 && period > 0)
            cpus = std::min(cpus, std::max(1L, quota / period));
        std::fclose(f);
    }
    return static_cast<int>(std::max(1L, cpus));
}

// From MTHREAD_SPIN_US and the CPUs this process may use: a spinner only
// helps when another CPU can run the thread it waits for.
const SpinPolicy& spin_policy() {
    static const SpinPolicy policy = [] {
        SpinPolicy p;
        std::int64_t us = kDefaultSpinUs;
        if (const char* v = std::getenv("MTHREAD_SPIN_US")) {
            char* end = nullptr;
            long n = std::strtol(v, &end, 10);
            if (end != v && *end == '\0' && n >= 0 && n <= kMaxSpinUs) us = n;
        }
        const int cpus = usable_cpus();
        if (cpus >= 2) {
            p.limit_ns = us * 1000;
            p.max_spinners = cpus;
        }
        return p;
    }();
    return policy;
}

// One of the process's spinner slots (at most one spinning thread per usable
// CPU), held for the scope when `acquired()`.
class SpinnerSlot {
public:
    explicit SpinnerSlot(int max_spinners) {
        int n = g_spinners.load(std::memory_order_relaxed);
        while (n < max_spinners) {
            if (g_spinners.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                acquired_ = true;
                return;
            }
        }
    }
    SpinnerSlot(const SpinnerSlot&) = delete;
    SpinnerSlot& operator=(const SpinnerSlot&) = delete;
    ~SpinnerSlot() { release(); }
    bool acquired() const noexcept { return acquired_; }
    // Gives the slot back before the scope ends (the spin is over).
    void release() noexcept {
        if (std::exchange(acquired_, false)) g_spinners.fetch_sub(1, std::memory_order_release);
    }

private:
    bool acquired_ = false;
};

// Per thread: a spin that sees no hint halves the budget, down to nothing;
// then a wait now and then probes with half the limit, less often after
// each probe that fails. A thread's first wait does not spin (a new tree
// thread waits for its first command, usually long); its second probes.
thread_local std::int64_t t_budget_ns = 0;
thread_local unsigned t_idle_waits = 0;
thread_local unsigned t_probe_every = kFirstProbeEvery;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

inline std::int64_t since_ns(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Without the interpreter lock: spins until the hint moves past `seen` or
// the budget runs out. Returns whether it moved.
bool spin(const std::atomic<std::uint32_t>& mine, std::uint32_t seen, std::int64_t budget) {
    const auto start = Clock::now();
    for (unsigned i = 1;; ++i) {
        if (mine.load(std::memory_order_acquire) != seen) return true;
        cpu_relax();
        if (i % kClockCheckEvery == 0 && since_ns(start) > budget) return false;
    }
}

}  // namespace

unsigned fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

std::atomic<std::uint32_t>& hint_for(PyObject* waiter) {
    auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(waiter) >> 4);
    return g_hints[(h * 0x9E3779B97F4A7C15ull) >> (64 - kHintBits)];
}

void owe_hint(std::atomic<std::uint32_t>& hint) {
    if (t_owed && t_owed != &hint) post(t_owed);
    t_owed = &hint;
}

bool hint_owed() noexcept { return t_owed != nullptr; }

void settle_hints() {
    if (std::atomic<std::uint32_t>* owed = std::exchange(t_owed, nullptr)) post(owed);
}

// Called with the interpreter lock held, before blocking on a waiter whose
// hint read `seen` while the condition's lock was still held. Spinning is
// skipped while every slot is taken: giving up the interpreter lock only to
// take it back costs a hand-off of its own when many threads want it. (A
// spin that sees no hint also takes the lock back before blocking: when the
// thread it waits for holds the lock longer than the switch interval, that
// asks it for one hand-off per such wait.)
void spin_for_hint(const std::atomic<std::uint32_t>& mine, std::uint32_t seen) {
    const SpinPolicy& policy = spin_policy();
    std::int64_t budget = t_budget_ns;
    if (budget == 0 && policy.limit_ns > 0 && ++t_idle_waits >= t_probe_every) {
        t_idle_waits = 0;
        budget = policy.limit_ns / 2;
    }
    std::atomic<std::uint32_t>* owed = std::exchange(t_owed, nullptr);
    // A hint owed to a waiter sharing our slot would end our own spin.
    if (budget == 0 || owed == &mine) {
        if (owed) post(owed);
        return;
    }
    SpinnerSlot slot(policy.max_spinners);
    if (!slot.acquired()) {
        if (owed) post(owed);
        return;
    }
    bool hinted;
    Py_BEGIN_ALLOW_THREADS
    if (owed) post(owed);
    hinted = spin(mine, seen, budget);
    slot.release();  // before queueing for the interpreter lock
    Py_END_ALLOW_THREADS
    if (hinted) {
        t_budget_ns = policy.limit_ns;
        t_probe_every = kProbeEveryAfterHint;
    } else if (budget / 2 >= kMinBudgetNs) {
        t_budget_ns = budget / 2;
    } else {
        t_budget_ns = 0;
        t_probe_every = std::min(t_probe_every * 2, kMaxProbeEvery);
    }
}

}  // namespace mthread
