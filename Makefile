# Set-up and everyday commands. Each target creates .venv on first use.
PYTHON ?= $(shell for p in "$$PYTHON" /root/.pyenv/versions/3.13.0/bin/python3.13 python3.13; do \
            [ -n "$$p" ] && command -v "$$p" >/dev/null 2>&1 && { command -v "$$p"; break; }; done)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD_DIR := build/release

.PHONY: all install test demo clean

all: install

$(VPY):
	@test -n "$(PYTHON)" || { echo "Python 3.13 not found; set PYTHON=/path/to/python3.13" >&2; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest

# Rebuilds incrementally in $(BUILD_DIR); the tree is the only input.
install: $(VPY)
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) ".[test]"

test: install
	$(VPY) -m pytest -q tests

demo: install
	$(VPY) examples/demo.py

clean:
	rm -rf build $(VENV)
