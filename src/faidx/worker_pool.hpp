// The process-wide worker pool behind parallel batches.
//
// Created by the first parallel batch, sized from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the processor count; idle workers sleep on a futex.
// A process that forks gets a fresh pool on its first parallel batch.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

namespace sekvo {

// Number of threads that run a parallel call at once: the pool's worker
// threads plus the submitting thread, which takes a share of the work.
// Creates the pool if it does not exist yet.
std::size_t pool_size();

// A non-owning reference to a callable work(begin, end) over one chunk of
// items; costs one indirect call per chunk, not per item.
class ChunkWork {
public:
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, ChunkWork> &&
                 std::invocable<F&, std::size_t, std::size_t>)
    ChunkWork(F& work)  // NOLINT: implicit on purpose
        : object_(static_cast<void*>(&work)), call_([](void* object, std::size_t begin,
                                                        std::size_t end) {
              (*static_cast<F*>(object))(begin, end);
          }) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// Calls work(begin, end) on disjoint chunks that together cover [0, count),
// on the pool's threads and the calling thread, and returns when all chunks
// are done. An exception thrown by work skips the chunks not yet started
// and is rethrown here once the running ones have finished. A call made
// from inside a running work function (nested) runs inline on its thread;
// calls from several threads at once take the pool one after another.
void parallel_for_each_chunk(std::size_t count, ChunkWork work);

// For items that only the calling thread can make (it holds a lock the
// making needs), worked on in parallel as they come: produce(begin, end)
// runs on the calling thread over [0, count) in order, in small steps,
// while the pool's workers call work(begin, end) on the items produced so
// far and wait behind the producer for the rest; once produce is done the
// calling thread takes chunks of work too. An exception from produce or
// work stops both (items not produced are never worked on) and is
// rethrown here once the running chunks have finished.
void parallel_for_each_chunk_behind(std::size_t count, ChunkWork produce, ChunkWork work);

// Calls work(i) for every i in [0, count) on the pool's threads and returns
// when all calls have finished. Callers write each result into slot i of a
// pre-sized output, so results are in item order however work was shared.
// The per-item call is inlined into the chunk loop.
template <class F>
    requires std::invocable<F&, std::size_t>
void parallel_for_each_index(std::size_t count, F&& work) {
    auto run_chunk = [&work](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) work(i);
    };
    parallel_for_each_chunk(count, ChunkWork(run_chunk));
}

// The pool size rule, kept free of the environment so it can be tested:
// RAYON_NUM_THREADS when it is an unsigned decimal > 0 (0 means "the
// processor count"); when unset or unparseable, RAYON_RS_NUM_CPUS when it is
// an integer > 0; else the processor count, or 1 when that is unknown.
std::size_t resolve_pool_size(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus,
                              std::optional<std::size_t> processor_count);

// The number of logical processors online, when the system reports it.
std::optional<std::size_t> logical_processor_count();

}  // namespace sekvo
