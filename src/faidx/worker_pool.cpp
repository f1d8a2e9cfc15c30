// The worker pool: long-lived threads that sleep on a futex until a
// parallel call publishes a job, then take chunks of it from a shared
// counter. The submitting thread takes chunks too and returns once every
// thread has left the job.
#include "faidx/worker_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "faidx/thread_signals.hpp"

namespace sekvo {
namespace {

// More threads than this only cost memory and start-up time.
constexpr std::size_t kMaxThreads = 1024;

// True on pool workers, and on a submitting thread while its call runs:
// parallel calls made there run inline instead of waiting on the pool.
thread_local bool t_inside_parallel_call = false;

// The items a producer has made so far, for workers that wait behind it.
// A waiting worker names how many items it wants, and the producer wakes
// the sleepers only when it gets there, not at every step.
class ReadyItems {
public:
    std::size_t count() const { return ready_.load(std::memory_order_acquire); }

    // Items [0, ready) are made.
    void publish(std::size_t ready) {
        ready_.store(ready);
        std::size_t wanted = wake_at_.load();
        while (wanted <= ready) {
            if (wake_at_.compare_exchange_weak(wanted, kNobody)) {
                wake_all();
                return;
            }
        }
    }

    // No more items will come, whether all were made or not.
    void close() {
        closed_.store(true);
        wake_all();
    }

    // The number of items made once at least `wanted` are, or fewer when
    // the producer stops short.
    std::size_t wait_for(std::size_t wanted) {
        for (;;) {
            const std::uint32_t wakes = wakes_.load();
            std::size_t lowest = wake_at_.load();
            while (wanted < lowest && !wake_at_.compare_exchange_weak(lowest, wanted)) {
            }
            // Checked after asking to be woken: a publish that this read
            // misses sees the request and wakes us.
            const std::size_t ready = ready_.load();
            if (ready >= wanted || closed_.load()) return ready;
            wakes_.wait(wakes);
        }
    }

private:
    static constexpr std::size_t kNobody = std::numeric_limits<std::size_t>::max();

    void wake_all() {
        wakes_.fetch_add(1);
        wakes_.notify_all();
    }

    alignas(64) std::atomic<std::size_t> ready_{0};
    std::atomic<std::size_t> wake_at_{kNobody};
    std::atomic<std::uint32_t> wakes_{0};
    std::atomic<bool> closed_{false};
};

struct Job {
    Job(std::size_t item_count, std::size_t threads, ChunkWork chunk_work, ReadyItems* ready_items = nullptr)
        : count(item_count),
          divisor(2 * threads),
          work(chunk_work),
          ready(ready_items),
          // A worker behind the producer sleeps until this many more items
          // are made: a few dozen wake-ups per thread and call.
          stretch(std::max<std::size_t>(item_count / (64 * threads), 1)) {}

    const std::size_t count;
    const std::size_t divisor;
    const ChunkWork work;
    ReadyItems* const ready;  // null: every item is ready
    const std::size_t stretch;
    alignas(64) std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written only by the thread that set `failed`
};

// Guided self-scheduling: each claim takes a share of what is left, so the
// first chunks are large (few claims) and the last ones small (threads
// finish together). Results do not depend on how the range is cut.
bool claim_chunk(Job& job, std::size_t& begin, std::size_t& end) {
    std::size_t next = job.next.load(std::memory_order_relaxed);
    for (;;) {
        if (next >= job.count || job.failed.load(std::memory_order_relaxed)) return false;
        const std::size_t take = std::max<std::size_t>((job.count - next) / job.divisor, 1);
        if (job.next.compare_exchange_weak(next, next + take, std::memory_order_relaxed)) {
            begin = next;
            end = next + take;
            return true;
        }
    }
}

void note_failure(Job& job) noexcept {
    if (!job.failed.exchange(true)) job.error = std::current_exception();
}

// Works on a chunk piece by piece as its items are made; returns early
// when the producer stops short.
void work_behind(Job& job, std::size_t begin, std::size_t end) {
    for (std::size_t next = begin; next < end;) {
        std::size_t ready = job.ready->count();
        if (ready <= next) {
            ready = job.ready->wait_for(std::min(end, next + job.stretch));
            if (ready <= next) return;
        }
        const std::size_t stop = std::min(end, ready);
        job.work(next, stop);
        next = stop;
    }
}

void run_chunks(Job& job) noexcept {
    std::size_t begin = 0;
    std::size_t end = 0;
    while (claim_chunk(job, begin, end)) {
        try {
            if (job.ready == nullptr) job.work(begin, end);
            else work_behind(job, begin, end);
        } catch (...) {
            note_failure(job);
            return;
        }
    }
}

// The producer's steps: small, so that workers start soon.
constexpr std::size_t kProduceStep = 16;

void produce_in_steps(Job& job, ChunkWork produce) noexcept {
    try {
        for (std::size_t made = 0; made < job.count && !job.failed.load(std::memory_order_relaxed);) {
            const std::size_t next = std::min(job.count, made + kProduceStep);
            produce(made, next);
            made = next;
            job.ready->publish(made);
        }
    } catch (...) {
        note_failure(job);
    }
    job.ready->close();
}

class Pool {
public:
    Pool(std::size_t threads, pid_t owner) : owner_(owner) { start_workers(threads - 1); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t threads() const { return workers_.size() + 1; }
    pid_t owner() const { return owner_; }

    // `produce`, when given, makes the items in order on this thread
    // before it takes chunks itself.
    void run(std::size_t count, ChunkWork work, const ChunkWork* produce = nullptr) {
        std::lock_guard submission(submit_mutex_);
        InsideCall inside;
        ReadyItems ready;
        Job job(count, threads(), work, produce != nullptr ? &ready : nullptr);

        current_.store(&job);
        generation_.fetch_add(1);
        generation_.notify_all();
        if (produce != nullptr) produce_in_steps(job, *produce);
        run_chunks(job);

        // Nothing is left to claim. Unpublish the job and wait for the
        // workers still inside it: a worker counts itself in before it reads
        // `current_`, so after this loop none can reach `job` any more.
        current_.store(nullptr);
        for (std::uint32_t busy; (busy = in_job_.load()) != 0;) in_job_.wait(busy);

        if (job.error) std::rethrow_exception(job.error);
    }

private:
    struct InsideCall {
        InsideCall() { t_inside_parallel_call = true; }
        ~InsideCall() { t_inside_parallel_call = false; }
        InsideCall(const InsideCall&) = delete;
        InsideCall& operator=(const InsideCall&) = delete;
    };

    void start_workers(std::size_t count) {
        workers_.reserve(count);
        {
            ProcessSignalsBlocked blocked;
            try {
                for (std::size_t i = 0; i < count; ++i) workers_.emplace_back([this] { work_loop(); });
            } catch (const std::system_error&) {
                // The system refused another thread: run with those we have.
            }
        }
        // Workers live as long as the process; the pool is never destroyed.
        for (std::thread& worker : workers_) worker.detach();
    }

    void work_loop() {
        t_inside_parallel_call = true;
        // Not generation_.load(): a job may have been published before
        // this thread got to run, and it must not be missed.
        std::uint32_t seen = 0;
        for (;;) {
            generation_.wait(seen);  // futex sleep until a job is published
            seen = generation_.load();
            in_job_.fetch_add(1);
            if (Job* job = current_.load()) run_chunks(*job);
            if (in_job_.fetch_sub(1) == 1) in_job_.notify_all();
        }
    }

    const pid_t owner_;
    std::vector<std::thread> workers_;
    std::mutex submit_mutex_;
    alignas(64) std::atomic<std::uint32_t> generation_{0};
    std::atomic<Job*> current_{nullptr};
    alignas(64) std::atomic<std::uint32_t> in_job_{0};
};

// The process's pool. A forked child inherits this pointer but not the
// threads behind it, so the child forgets it (leaking the object: its mutex
// and counters may be in any state) and builds its own on first use.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mutex;

void lock_before_fork() { g_create_mutex.lock(); }
void unlock_in_parent() { g_create_mutex.unlock(); }
void reset_in_child() {
    g_pool.store(nullptr);
    g_create_mutex.unlock();
}

[[maybe_unused]] const int g_fork_handlers_registered =
    pthread_atfork(lock_before_fork, unlock_in_parent, reset_in_child);

std::optional<std::string_view> environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

Pool& process_pool() {
    // The pid check also catches a child made without the fork handlers
    // (a raw clone), which would otherwise wait on threads it lacks.
    const pid_t pid = getpid();
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr && pool->owner() == pid) return *pool;

    std::lock_guard creation(g_create_mutex);
    pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr && pool->owner() == pid) return *pool;
    const std::size_t threads =
        resolve_pool_size(environment_variable("RAYON_NUM_THREADS"),
                          environment_variable("RAYON_RS_NUM_CPUS"), logical_processor_count());
    pool = new Pool(std::min(threads, kMaxThreads), pid);
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

std::size_t pool_size() { return process_pool().threads(); }

void parallel_for_each_chunk(std::size_t count, ChunkWork work) {
    if (count == 0) return;
    if (t_inside_parallel_call) {
        work(0, count);
        return;
    }
    Pool& pool = process_pool();
    if (count == 1 || pool.threads() == 1) {
        work(0, count);
        return;
    }
    pool.run(count, work);
}

void parallel_for_each_chunk_behind(std::size_t count, ChunkWork produce, ChunkWork work) {
    if (count == 0) return;
    Pool* pool = t_inside_parallel_call ? nullptr : &process_pool();
    if (pool == nullptr || count == 1 || pool->threads() == 1) {
        produce(0, count);
        work(0, count);
        return;
    }
    pool->run(count, work, &produce);
}

}  // namespace sekvo
