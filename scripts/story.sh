#!/usr/bin/env bash
# The main job on a simulated board: builds what it needs, creates a fresh
# 512 MiB board and shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh >/dev/null
bash scripts/build.sh default >/dev/null
board=${BOARD:-build/story-board}
rm -rf "$board"
build/default/bin/simboard create "$board"
build/default/bin/simboard show "$board"
