#!/bin/bash
# The main job: builds TarnStub and runs the sample blade under Wine, in the
# build tree's private prefix, against the reference Tarn server in its own
# process (TarnRefServer.exe, registered by the sample when needed). The
# sample ends only after the server process has ended: nothing is left
# running.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build/x86_64"
bash "$top/scripts/setup.sh"
# A new build tree leaves the tests out (a quicker first build); a tree the
# test command configured keeps them.
options=()
[ -f "$build/CMakeCache.txt" ] || options=(-DTARNSTUB_BUILD_TESTS=OFF)
bash "$top/scripts/build.sh" x86_64 "$build" "${options[@]}" >/dev/null
cd "$build/bin"
exec "$build/wine-run" sample_blade.exe "$@"
