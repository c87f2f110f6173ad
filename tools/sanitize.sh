#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of its own and runs the whole test suite under
# it.  Any sanitizer report aborts the run, so a green run means zero
# reports.  Leak detection is left to the leak tests: the interpreter itself
# does not free everything at exit.
#   tools/sanitize.sh [venv-dir [pytest args...]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:-$(mktemp -d)/venv-san}
shift $(( $# > 0 ? 1 : 0 ))
python3 -m venv "$venv"
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip
python -m pip install --quiet "$here[test]" \
  --config-settings=cmake.define.QUILLON_SANITIZE=address,undefined \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=build-dir="$venv/build"
# The interpreter is not instrumented: the ASan runtime must come first, and
# libstdc++ with it so that its C++ throw interceptor finds the real one.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# Huge-table tests expect std::bad_alloc, not an abort, from impossible sizes.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QUILLON_SANITIZED=1
cd "$venv"
LD_PRELOAD="$preload" python -m pytest -q -p no:cacheprovider "$here/tests" "$@"
