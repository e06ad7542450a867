#!/usr/bin/env bash
# Installs and builds what the project needs, then runs the built-in example: a notebook's cells
# as a pipeline, disk caches, both exports and a parameter search (examples/pipeline_demo.py).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
out="${1:-$(mktemp -d /tmp/trelvo-example-XXXXXX)}"
.venv/bin/python -P examples/pipeline_demo.py "$out"
