// Worker pool: ordered results, failures, nesting, concurrent callers,
// the size rule, idle sleep and fork safety.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "faidx/worker_pool.hpp"

using sekvo::parallel_for_each_index;

namespace {

// Every index is visited exactly once and its slot gets its own value.
bool fills_every_slot_once(std::size_t count) {
    std::vector<std::size_t> slots(count, 0);
    std::vector<std::atomic<int>> visits(count);
    parallel_for_each_index(count, [&](std::size_t i) {
        slots[i] = i * 3 + 1;
        visits[i].fetch_add(1, std::memory_order_relaxed);
    });
    for (std::size_t i = 0; i < count; ++i) {
        if (slots[i] != i * 3 + 1 || visits[i].load() != 1) return false;
    }
    return true;
}

const std::size_t kSizes[] = {0, 1, 2, 3, 7, 64, 999, 1000, 4097, 200000};

// Sets the pool size in a child that has not used its pool yet.
void use_pool_size(const char* threads) {
    setenv("RAYON_NUM_THREADS", threads, 1);
    unsetenv("RAYON_RS_NUM_CPUS");
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

CORE_TEST(pool_size_rule) {
    using sekvo::resolve_pool_size;
    using std::nullopt;
    struct Case {
        std::optional<std::string_view> num_threads;
        std::optional<std::string_view> rs_num_cpus;
        std::optional<std::size_t> processors;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullopt, nullopt, 8, 8},
        {nullopt, nullopt, nullopt, 1},
        {"4", "16", 8, 4},
        {"+3", nullopt, 8, 3},
        {"0", "16", 8, 8},  // 0 means the processor count, not the fallback
        {"0", nullopt, nullopt, 1},
        {"abc", "3", 8, 3},
        {"", "3", 8, 3},
        {"-2", "3", 8, 3},
        {" 4", nullopt, 8, 8},
        {"4x", nullopt, 8, 8},
        {"99999999999999999999999", "5", 8, 5},
        {nullopt, "0", 8, 8},
        {nullopt, "-4", 8, 8},
        {nullopt, "x", nullopt, 1},
        {nullopt, "12", 2, 12},
    };
    for (const Case& c : cases) {
        CHECK_EQ(resolve_pool_size(c.num_threads, c.rs_num_cpus, c.processors), c.expected);
    }
    CHECK(sekvo::logical_processor_count().value_or(0) >= 1);
}

CORE_TEST(pool_results_in_item_order) {
    for (std::size_t count : kSizes) CHECK(fills_every_slot_once(count));
}

CORE_TEST(pool_results_in_item_order_for_each_pool_size) {
    sekvo::pool_size();  // the children inherit a pool they must replace
    for (const char* threads : {"1", "2", "3", "5", "8"}) {
        static const char* size;
        size = threads;
        CHECK(core_test::run_in_child(
            [] {
                use_pool_size(size);
                CHECK_EQ(sekvo::pool_size(), static_cast<std::size_t>(std::atoi(size)));
                for (std::size_t count : kSizes) CHECK(fills_every_slot_once(count));
            },
            60));
    }
}

CORE_TEST(pool_runs_on_as_many_threads_as_its_size) {
    sekvo::pool_size();
    CHECK(core_test::run_in_child(
        [] {
            use_pool_size("3");
            // Each thread's first item waits until three threads have
            // arrived, so the call finishes only if all three take part.
            std::mutex mutex;
            std::set<std::thread::id> seen;
            std::atomic<int> arrived{0};
            parallel_for_each_index(3000, [&](std::size_t) {
                {
                    std::lock_guard lock(mutex);
                    if (!seen.insert(std::this_thread::get_id()).second) return;
                }
                arrived.fetch_add(1);
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (arrived.load() < 3 && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
            });
            CHECK_EQ(seen.size(), std::size_t{3});
        },
        60));
}

CORE_TEST(pool_rethrows_work_failures_on_the_caller) {
    for (std::size_t failing : {std::size_t{0}, std::size_t{777}, std::size_t{49999}}) {
        bool caught = false;
        try {
            parallel_for_each_index(50000, [&](std::size_t i) {
                if (i == failing) throw std::bad_alloc();
            });
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        CHECK(caught);
    }
    // Several failing items: one exception arrives, its message intact.
    std::string message;
    try {
        parallel_for_each_index(10000, [](std::size_t i) {
            if (i % 1000 == 5) throw std::runtime_error("item failed");
        });
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    CHECK_EQ(message, std::string("item failed"));
    CHECK(fills_every_slot_once(100000));  // the pool still works
}

CORE_TEST(pool_nested_calls_run_without_deadlock) {
    const std::size_t outer = 2000;
    const std::size_t inner = 300;
    std::vector<std::size_t> sums(outer, 0);
    parallel_for_each_index(outer, [&](std::size_t i) {
        std::vector<std::size_t> values(inner, 0);
        parallel_for_each_index(inner, [&](std::size_t j) { values[j] = i + j; });
        std::size_t sum = 0;
        for (std::size_t v : values) sum += v;
        sums[i] = sum;
    });
    for (std::size_t i = 0; i < outer; ++i) CHECK_EQ(sums[i], inner * i + inner * (inner - 1) / 2);
}

CORE_TEST(pool_accepts_concurrent_callers) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&wrong, t] {
            for (int round = 0; round < 200; ++round) {
                if (!fills_every_slot_once(1000 + static_cast<std::size_t>(t * 997 + round)))
                    wrong.fetch_add(1);
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    CHECK_EQ(wrong.load(), 0);
}

CORE_TEST(pool_idle_workers_sleep) {
    sekvo::pool_size();
    CHECK(fills_every_slot_once(100000));
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Spinning workers would burn about 300 ms of CPU each.
    CHECK(cpu_seconds() - before < 0.05);
}

CORE_TEST(pool_works_in_a_forked_child) {
    CHECK(fills_every_slot_once(100000));  // the parent's pool exists
    CHECK(core_test::run_in_child([] { CHECK(fills_every_slot_once(200000)); }, 30));
    // A grandchild, forked from a child that has its own pool by now.
    CHECK(core_test::run_in_child(
        [] {
            CHECK(fills_every_slot_once(10000));
            CHECK(core_test::run_in_child([] { CHECK(fills_every_slot_once(10000)); }, 30));
        },
        60));
}

CORE_TEST(pool_forks_while_another_thread_runs_batches) {
    // The parent's pool is busy (its submit lock held, workers mid-job) at
    // the moment of the fork; the child must not wait on any of that.
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread busy([&] {
        while (!stop.load())
            if (!fills_every_slot_once(50000)) wrong.fetch_add(1);
    });
    for (int i = 0; i < 20; ++i) {
        CHECK(core_test::run_in_child([] { CHECK(fills_every_slot_once(20000)); }, 30));
    }
    stop.store(true);
    busy.join();
    CHECK_EQ(wrong.load(), 0);
}

CORE_TEST(pool_workers_block_process_signals_but_not_faults) {
    CHECK(core_test::run_in_child(
        [] {
            use_pool_size("2");
            const pthread_t caller = pthread_self();
            std::atomic<bool> worker_seen{false};
            std::atomic<bool> masks_right{true};
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            // Items wait until a worker has taken one, so a worker takes part.
            parallel_for_each_index(1000, [&](std::size_t) {
                if (pthread_equal(pthread_self(), caller)) {
                    while (!worker_seen.load() && std::chrono::steady_clock::now() < deadline)
                        std::this_thread::yield();
                    return;
                }
                worker_seen.store(true);
                sigset_t mask;
                pthread_sigmask(SIG_BLOCK, nullptr, &mask);
                const bool right = sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 &&
                                   sigismember(&mask, SIGBUS) == 0 && sigismember(&mask, SIGSEGV) == 0;
                if (!right) masks_right.store(false);
            });
            CHECK(worker_seen.load());
            CHECK(masks_right.load());
        },
        60));
}

namespace {

// Produces every item on the calling thread, in order, and works on each
// once, never before it is produced. `fail_at` makes produce or work throw
// at that item; returns whether the checks held.
struct BehindRun {
    std::size_t count;
    std::size_t produce_fails_at = SIZE_MAX;
    std::size_t work_fails_at = SIZE_MAX;
    bool threw = false;
    bool in_order = true;
    bool worked_once = true;
    bool worked_after_produced = true;
    std::size_t highest_worked = 0;

    void run() {
        std::vector<std::atomic<int>> produced(count);
        std::vector<std::atomic<int>> worked(count);
        std::atomic<std::size_t> highest{0};
        const std::thread::id caller = std::this_thread::get_id();
        std::size_t expected_next = 0;
        auto produce = [&](std::size_t begin, std::size_t end) {
            if (begin != expected_next || std::this_thread::get_id() != caller) in_order = false;
            for (std::size_t i = begin; i < end; ++i) {
                if (i == produce_fails_at) throw std::bad_alloc();
                produced[i].store(1, std::memory_order_relaxed);
            }
            expected_next = end;
        };
        auto work = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == work_fails_at) throw std::runtime_error("work failed");
                if (produced[i].load(std::memory_order_relaxed) != 1) worked_after_produced = false;
                if (worked[i].fetch_add(1) != 0) worked_once = false;
                for (std::size_t seen = highest.load(); seen < i + 1 && !highest.compare_exchange_weak(seen, i + 1);) {
                }
            }
        };
        try {
            sekvo::parallel_for_each_chunk_behind(count, sekvo::ChunkWork(produce), sekvo::ChunkWork(work));
        } catch (const std::exception&) {
            threw = true;
        }
        highest_worked = highest.load();
        if (!threw) {
            if (expected_next != count) in_order = false;
            for (std::size_t i = 0; i < count; ++i) worked_once = worked_once && worked[i].load() == 1;
        }
    }
};

}  // namespace

CORE_TEST(pool_works_behind_the_producer) {
    sekvo::pool_size();
    for (const char* threads : {"1", "2", "4"}) {
        static const char* size;
        size = threads;
        CHECK(core_test::run_in_child(
            [] {
                use_pool_size(size);
                for (std::size_t count : kSizes) {
                    BehindRun run{count};
                    run.run();
                    CHECK(!run.threw);
                    CHECK(run.in_order);
                    CHECK(run.worked_once);
                    CHECK(run.worked_after_produced);
                }
            },
            60));
    }
}

CORE_TEST(pool_stops_behind_a_failing_producer_or_worker) {
    // Workers waiting for items that will never come must give up, and no
    // item past the failure may be worked on.
    for (std::size_t failing : {std::size_t{0}, std::size_t{5000}, std::size_t{199999}}) {
        BehindRun run{200000, failing};
        run.run();
        CHECK(run.threw);
        CHECK(run.worked_after_produced);
        CHECK(run.highest_worked <= failing);
    }
    for (std::size_t failing : {std::size_t{0}, std::size_t{150000}}) {
        BehindRun run{200000, SIZE_MAX, failing};
        run.run();
        CHECK(run.threw);
        CHECK(run.worked_after_produced);
    }
    CHECK(fills_every_slot_once(100000));  // the pool still works
}
