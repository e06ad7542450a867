#!/usr/bin/env bash
# Builds the extension modules once, as one wheel, and installs it with its test and kfp extras
# into both environments under the pins. Also builds the GoogleTest suite of the core.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"

rm -rf dist
python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w dist .
wheel=$(ls dist/trelvo_core-*.whl)

install_into() {
    local env_dir=$1 constraints=$2
    "$env_dir/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall \
        --no-deps "$wheel"
    "$env_dir/bin/python" -m pip install -q --disable-pip-version-check -c "$constraints" \
        "${wheel}[test,kfp]"
}
install_into .venv scripts/constraints.txt
install_into .venv-pydantic1 build/constraints-pydantic1.txt

cmake -S . -B build/cpp-tests -G Ninja -DTRELVO_BUILD_MODULES=OFF -DTRELVO_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp-tests >/dev/null
echo "build: installed $(basename "$wheel") into .venv and .venv-pydantic1"
