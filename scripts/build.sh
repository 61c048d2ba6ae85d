#!/usr/bin/env bash
# Configures and builds one preset: scripts/build.sh default|asan|release [-DNAME=VALUE...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
cmake --preset "$preset" -DFW_WERROR=ON "${@:2}" >/dev/null
cmake --build --preset "$preset" -j2
