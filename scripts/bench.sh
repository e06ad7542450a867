#!/usr/bin/env bash
# Installs and builds what the benchmarks need, then runs every benchmark (or the ones named,
# e.g. scripts/bench.sh engine capture) in both environments and prints one table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
.venv/bin/python bench/run_all.py "$@"
