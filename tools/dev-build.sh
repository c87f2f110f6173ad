#!/usr/bin/env bash
# Builds the extension module and the native tests into a build folder of
# its own, for quick development cycles without pip:
#   tools/dev-build.sh build-dev [Debug|Release] [extra cmake args...]
#   PYTHONPATH=build-dev python -m pytest tests
set -euo pipefail
dir=${1:-build-dev}
type=${2:-Release}
shift $(( $# > 2 ? 2 : $# ))
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DPython_EXECUTABLE="$(command -v "$py")" -DQUILLON_NATIVE_TESTS=ON "$@" >/dev/null
cmake --build "$dir" -j2
