#!/bin/sh
# The long fuzz run: a million generated inputs (by default) through the byte
# paths, in the sanitizer build. Prints the inputs run, the time, inputs/s and
# the failures; any sanitizer report ends the run.
# Usage: bench/fuzz_bytepaths.sh [inputs [seed]]
set -e
cd "$(dirname "$0")/.."
[ -f build/asan/build.ninja ] || cmake -G Ninja -S . -B build/asan -DKALMIR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j2 --target fuzz_bytepaths >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build/asan/tests/fuzz_bytepaths "${1:-1000000}" ${2:+"$2"}
