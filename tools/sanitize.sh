#!/usr/bin/env bash
# Builds the module and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test under them, with leak
# checking at the exit of each process. Any report fails the run.
#
#   tools/sanitize.sh PYTHON CMAKE NINJA [BUILD_DIR] [pytest arguments...]
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it, and PYTHONMALLOC=malloc sends its objects through the checked malloc.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1 cmake=$2 ninja=$3
build=${4:-build/asan}
shift $(($# < 4 ? $# : 4))
cxx=${SAN_CXX:-g++}
began=$SECONDS

"$cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_CXX_COMPILER="$cxx" \
    -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEKVO_CORE_TESTS=ON \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    >/dev/null
"$cmake" --build "$build"

runtime=$("$cxx" -print-file-name=libasan.so)
[ -f "$runtime" ] || { echo "sanitize: $cxx has no libasan.so" >&2; exit 1; }

reports=$PWD/$build/reports
rm -rf "$reports" && mkdir -p "$reports"
# Reports go to files: a child process whose standard error a test captures
# would hide them, and a test that checks standard error would fail on them
# with a confusing message.
# allocator_may_return_null: a failed malloc returns NULL (MemoryError), as
# without the sanitizer. intercept_tls_get_addr=0: this libasan misreads the
# dynamic TLS of threads that the module starts (glibc >= 2.35) and its leak
# check would crash in every process that ran a parallel batch.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:intercept_tls_get_addr=0:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# Tests that need an impossible allocation to fail softly skip: the ASan
# runtime's operator new aborts the process instead of throwing.
export SEKVO_SANITIZER=1

status=0
"$build/core_tests" || status=1
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$build:$PWD/python" \
    "$python" -m pytest -q -p no:cacheprovider tests "$@" || status=1

if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitize: reports in $reports:" >&2
    for report in "$reports"/*; do
        echo "--- $report" >&2
        cat "$report" >&2
    done
    status=1
fi
echo "sanitize: $([ $status = 0 ] && echo clean || echo FAILED) after $((SECONDS - began)) s"
exit $status
