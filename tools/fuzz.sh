#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the core (fuzz/) with clang, ASan and
# UBSan, replays the seed corpus, then runs each harness for FUZZ_SECONDS
# (default 60) and prints its executions and coverage. A crash, a failed
# check or a leak fails the run and leaves the input in BUILD_DIR/artifacts.
#
#   tools/fuzz.sh CMAKE NINJA PYTHON [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake=$1 ninja=$2 python=$3
build=${4:-build/fuzz}
seconds=${FUZZ_SECONDS:-60}
harnesses=(scan index_loader region_copy bed_reader region_lines bgzf_block gzi_loader)

# clang++ that can link a libFuzzer harness with ASan and UBSan.
have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$probe/probe" >/dev/null 2>&1
    local found=$?
    rm -rf "$probe"
    return $found
}
if ! have_libfuzzer; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: installing clang and its runtime libraries (libFuzzer, sanitizers) with apt-get"
        apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
            { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1; } || true
    fi
    have_libfuzzer || {
        echo "fuzz: clang++ with libFuzzer is needed: install clang and its compiler-rt" >&2
        echo "      (Debian 12: apt-get install clang libclang-rt-14-dev), then run make fuzz again." >&2
        exit 1
    }
fi

"$cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_CXX_COMPILER=clang++ \
    -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEKVO_FUZZERS=ON >/dev/null
"$cmake" --build "$build" --target fuzzers

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/artifacts"
status=0
summary=()
for harness in "${harnesses[@]}"; do
    fuzzer=$build/${harness}_fuzzer
    seeds=fuzz/corpus/$harness
    corpus=$build/corpus/$harness  # grows between runs; the seeds stay as they are
    log=$build/$harness.log
    mkdir -p "$corpus"
    echo "fuzz: $harness: replaying $(ls "$seeds" | wc -l) seeds, then fuzzing for $seconds s"
    if ! "$fuzzer" -runs=0 "$seeds" >"$log" 2>&1 ||
       ! "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=4096 \
            -print_final_stats=1 -dict=fuzz/fasta.dict -artifact_prefix="$build/artifacts/$harness-" \
            "$corpus" "$seeds" >"$log" 2>&1; then
        echo "fuzz: $harness FAILED; the report is in $log:" >&2
        grep -E -A40 "ERROR|fuzz check failed|runtime error" "$log" | head -60 >&2
        status=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+.*cov:' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/\1 edges, \2 features, corpus \3/')
    summary+=("$harness: $runs executions in $seconds s, $coverage")
done
printf 'fuzz: %s\n' "${summary[@]}"
exit $status
