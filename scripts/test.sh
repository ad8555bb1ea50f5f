#!/usr/bin/env bash
# Runs every test: the ci workflow (build with warnings as errors, then
# ctest), followed by the suites that need builds of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset ci
