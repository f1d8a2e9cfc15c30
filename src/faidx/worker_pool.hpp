// The process-wide worker pool behind parallel batches.
//
// Created by the first parallel batch, sized from RAYON_NUM_THREADS,
// RAYON_RS_NUM_CPUS or the processor count; idle workers sleep on a futex.
// A process that forks gets a fresh pool on its first parallel batch.
#pragma once

#include <cstddef>
#include <functional>

namespace sekvo {

std::size_t pool_size();

// Calls work(i) for every i in [0, count) on the pool's threads and returns
// when all calls have finished. Callers write each result into slot i of a
// pre-sized output, so results are in item order however work was shared.
void parallel_for_each_index(std::size_t count, const std::function<void(std::size_t)>& work);

}  // namespace sekvo
