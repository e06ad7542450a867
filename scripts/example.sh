#!/usr/bin/env bash
# Installs and builds what the project needs, then runs the example notebook with `trelvo run`
# twice: once in full, then with one parameter changed, so that the cells that do not read it
# come from the cache. Everything it writes goes under OUTPUT_DIR (a new temporary directory by
# default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
out="${1:-$(mktemp -d /tmp/trelvo-example-XXXXXX)}"
mkdir -p "$out"
echo "== trelvo run examples/regression.ipynb"
.venv/bin/trelvo run examples/regression.ipynb -o "$out/regression.out.ipynb" --cache-dir "$out/cache"
echo "== trelvo run examples/regression.ipynb -p degree 2   (the data cells come from the cache)"
.venv/bin/trelvo run examples/regression.ipynb -p degree 2 -o "$out/regression.degree2.ipynb" \
    --cache-dir "$out/cache"
echo "The executed notebooks are $out/regression.out.ipynb and $out/regression.degree2.ipynb"
