#!/usr/bin/env bash
# Runs every test: the ci workflow (build with warnings as errors, then
# ctest), followed by the suites that need builds of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset ci
scripts/test-windows.sh  # Windows build: unit and end-to-end tests under wine, packages
scripts/test-reliability.sh  # sanitizers, bounded fuzzing, valgrind: docs/reliability.md
