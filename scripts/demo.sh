#!/usr/bin/env bash
# The main job: builds the native tool and the shipped mod folder, then runs the DLL's own
# start-up and frames in the simulated game on a mod folder written under build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh native dll
out=build/demo/velmora
rm -rf "$out" && mkdir -p "$out"
cp dist/velmora/mod.ini dist/velmora/config.ini "$out/"
build/native/velmora-tool check-config "$out" || true
echo
build/native/velmora-tool start "$out" --frames "${DEMO_FRAMES:-240}"
