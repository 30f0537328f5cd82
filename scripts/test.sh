#!/usr/bin/env bash
# Builds a Release (a newcomer's build) and runs the whole suite, runs the
# client against a model under random faults for 60 s, checks its
# package (lintian too), builds without the window, runs the suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, cross-builds for
# Windows (the window too, and its .zip) and runs that build's tests under
# wine, driving the window, then fuzzes the response receiver for 30 s. Every build treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTOVREL_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
build/release/tests/soak/soak --seconds 60  # a new seed each run; a divergence prints its replay
rm -f build/release/tovrel_*.deb
(cd build/release && cpack -G DEB >/dev/null)
scripts/check-deb.sh --contents build/release/tovrel_*.deb

# Without the window nothing may need Qt.
cmake -S . -B build/no-window -DCMAKE_BUILD_TYPE=Debug -DTOVREL_APP=OFF -DTOVREL_WERROR=ON >/dev/null
cmake --build build/no-window -j "$jobs"

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTOVREL_SANITIZE=ON -DTOVREL_BENCH=OFF -DTOVREL_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTOVREL_APP=ON -DTOVREL_WERROR=ON >/dev/null
cmake --build build/windows -j "$jobs"
rm -f build/windows/tovrel-*.zip
(cd build/windows && cpack -G ZIP >/dev/null)
zip_contents=$(cmake -E tar tf build/windows/tovrel-*.zip)
for file in bin/tovrel.exe bin/tovrel-cli.exe README.txt LICENSE.txt; do
  grep -q "/$file\$" <<<"$zip_contents" || { echo "the Windows .zip lacks $file" >&2; exit 1; }
done
tests/wine/run-under-wine.sh build/release build/windows

tests/vm/run-guest-tests.sh build/release

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_FUZZ=ON \
  -DTOVREL_TESTS=OFF -DTOVREL_BENCH=OFF -DTOVREL_APP=OFF -DTOVREL_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$jobs" --target receiver_fuzz
mkdir -p build/fuzz/corpus
build/fuzz/fuzz/receiver_fuzz -max_total_time=30 -print_final_stats=1 build/fuzz/corpus 2>&1 | tail -n 4
echo "All tests passed."
