#!/bin/sh
# The long fuzz run of the broker's command decider: a million generated
# topics and payloads (by default) in the sanitizer build. Prints the inputs
# run, the time, inputs/s, how many were accepted, and the failures.
# Usage: bench/fuzz_remotecommands.sh [inputs [seed]]
set -e
cd "$(dirname "$0")/.."
[ -f build/asan/build.ninja ] || cmake -G Ninja -S . -B build/asan -DKALMIR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j2 --target fuzz_remotecommands >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build/asan/tests/fuzz_remotecommands "${1:-1000000}" ${2:+"$2"}
