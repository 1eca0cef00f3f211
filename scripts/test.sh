#!/usr/bin/env bash
# Builds everything and runs the whole test suite (installs missing Debian packages).
# Usage: scripts/test.sh [preset]   preset: default (the default), asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
