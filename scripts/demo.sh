#!/usr/bin/env bash
# The main job: builds the tool and the shipped mod folder, then runs `velmora-tool demo`:
# the reference server, a mod folder pointing at it, and the simulated game playing the
# sample garden. Everything it made is left under build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh native dll
build/native/velmora-tool demo --out build/demo "$@"
