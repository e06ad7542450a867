#!/usr/bin/env bash
# Installs, builds, and runs every test: GoogleTest for the core, then pytest in both environments
# (pydantic 2 with ipykernel 7, pydantic 1 with ipykernel 6). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

echo "== core (GoogleTest)"
ctest --test-dir build/cpp-tests --output-on-failure

# The installed package is tested, never the source tree: run pytest outside the repository's
# import path.
for env_dir in .venv .venv-pydantic1; do
    echo "== pytest in $env_dir ($("$env_dir/bin/python" -c 'import pydantic, ipykernel; print("pydantic", pydantic.__version__, "ipykernel", ipykernel.__version__)'))"
    "$env_dir/bin/pytest" "$@"
done
