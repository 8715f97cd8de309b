#!/bin/bash
# The main job: builds TarnStub and runs the sample blade against the
# reference Tarn server under Wine, in the build tree's private prefix.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh"
bash "$top/scripts/build.sh" x86_64 "$top/build/x86_64" -DTARNSTUB_BUILD_TESTS=OFF >/dev/null
cd "$top/build/x86_64/bin"
exec "$top/build/x86_64/wine-run" sample_blade.exe "$@"
