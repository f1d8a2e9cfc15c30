# Set-up and everyday commands. Each target creates .venv on first use.
PYTHON ?= $(shell for p in "$$PYTHON" /root/.pyenv/versions/3.13.0/bin/python3.13 python3.13; do \
            [ -n "$$p" ] && command -v "$$p" >/dev/null 2>&1 && { command -v "$$p"; break; }; done)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DIR := build/release
SAN_BUILD_DIR ?= build/asan
FUZZ_BUILD_DIR ?= build/fuzz
ZLIB_BUILD_DIR ?= build/zlib

.PHONY: all install test demo clean peer-tools build-deps sanitize fuzz core-tests-zlib

all: install

$(VPY):
	@test -n "$(PYTHON)" || { echo "Python 3.13 not found; set PYTHON=/path/to/python3.13" >&2; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest

# libdeflate inflates BGZF blocks fastest; installed when missing and we are
# root with apt-get, never fatal (the build falls back to zlib).
build-deps:
	@[ -f /usr/include/libdeflate.h ] || \
	{ [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 && \
	  { apt-get install -y -qq libdeflate-dev >/dev/null 2>&1 || \
	    { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq libdeflate-dev >/dev/null 2>&1; }; }; } || \
	echo "note: libdeflate-dev not installed; BGZF blocks will be inflated with zlib"

# Rebuilds incrementally in $(BUILD_DIR); the tree is the only input.
install: $(VPY) build-deps
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) ".[test]"

# samtools, bedtools and bgzip (tabix) for the comparisons; installed only when
# missing and we are root with apt-get, and never fatal (those tests skip).
peer-tools:
	@command -v samtools >/dev/null 2>&1 && command -v bedtools >/dev/null 2>&1 && command -v bgzip >/dev/null 2>&1 || \
	{ [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 && \
	  { apt-get install -y -qq samtools bedtools tabix >/dev/null 2>&1 || \
	    { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq samtools bedtools tabix >/dev/null 2>&1; }; }; } || \
	echo "note: samtools/bedtools/bgzip not installed; comparisons with them will be skipped"

test: install peer-tools
	$(VPY) -m pytest -q tests

# The module and core tests built with AddressSanitizer and UBSan into
# build/asan, and every test run under them with leak checking.
sanitize: install peer-tools core-tests-zlib
	tools/sanitize.sh "$(abspath $(VPY))" "$(abspath $(VENV)/bin/cmake)" "$(abspath $(VENV)/bin/ninja)" $(SAN_BUILD_DIR)

# The core tests built with BGZF blocks inflated by zlib alone (the fallback
# where libdeflate is missing) into build/zlib, and run: the core and its
# tests only, not the module. CI runs it through `make sanitize`.
core-tests-zlib: $(VPY)
	$(VENV)/bin/cmake -S . -B $(ZLIB_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM="$(abspath $(VENV)/bin/ninja)" \
	    -DPython_EXECUTABLE="$(abspath $(VPY))" -DSEKVO_USE_LIBDEFLATE=OFF -DSEKVO_CORE_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(ZLIB_BUILD_DIR) --target core_tests --parallel 2
	SEKVO_EXPECT_INFLATE=zlib $(ZLIB_BUILD_DIR)/core_tests

# libFuzzer harnesses of the core (fuzz/), built with clang into build/fuzz
# and run FUZZ_SECONDS (default 60) each; installs clang with apt-get when
# missing and run as root.
fuzz: $(VPY)
	tools/fuzz.sh "$(abspath $(VENV)/bin/cmake)" "$(abspath $(VENV)/bin/ninja)" "$(abspath $(VPY))" $(FUZZ_BUILD_DIR)

demo: install
	$(VPY) examples/demo.py
	$(VENV)/bin/sekvo getfasta examples/data/example.fa --bed examples/data/example.bed -s --name
	$(VENV)/bin/sekvo faidx examples/data/example.fa chr1:1-120 chrM:821-868 -i

clean:
	rm -rf build $(VENV)

# Speed and memory against other FASTA readers; writes BENCHMARKS.md.
# Peers that cannot be installed are reported as missing. BENCH_ARGS=--quick: small run.
.PHONY: bench
bench: install peer-tools
	-$(VPY) -m pip install -q --no-deps pysam pyfastx
	-$(VPY) -m pip install -q matplotlib
	$(VPY) bench/run.py $(BENCH_ARGS)
