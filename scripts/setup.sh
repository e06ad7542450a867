#!/usr/bin/env bash
# Installs what the project needs, idempotently: Debian programs, and two virtual environments
# with the pinned build tools: .venv (pydantic 2, ipykernel 7) and .venv-pydantic1 (pydantic 1.10,
# ipykernel 6), so every test runs against both lines of each.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(redis-server libgtest-dev)
LANE2_PINS=("pydantic==1.10.27" "ipykernel==6.31.0")
BUILD_TOOLS=(scikit-build-core nanobind cmake ninja)

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

mkdir -p build
# The second environment shares every pin but pydantic's and ipykernel's own.
grep -v -i -E '^(pydantic|pydantic_core|annotated-types|typing-inspection|ipykernel|nest-asyncio2)==' \
    scripts/constraints.txt > build/constraints-pydantic1.txt
printf '%s\n' "${LANE2_PINS[@]}" >> build/constraints-pydantic1.txt

make_env() {
    local env_dir=$1 constraints=$2
    [ -x "$env_dir/bin/python" ] || python3 -m venv "$env_dir"
    "$env_dir/bin/python" -m pip install -q --disable-pip-version-check -c "$constraints" \
        "${BUILD_TOOLS[@]}"
}
make_env .venv scripts/constraints.txt
make_env .venv-pydantic1 build/constraints-pydantic1.txt
echo "setup: environments ready"
