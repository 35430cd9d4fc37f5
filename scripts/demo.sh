#!/usr/bin/env bash
# The main job: for now, a minimal host that starts the library against a temporary directory.
set -euo pipefail
build=${1:-build}
"$build/bin/minimal_host" demoAppKey
