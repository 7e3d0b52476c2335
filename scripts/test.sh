#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the layer check, every test of the normal build,
# then the window-less libraries' tests again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/setup.sh build
scripts/check-layers.sh # after the set-up: it reads the installed Qt headers
(cd build && ctest --output-on-failure --timeout 600 -j2)

scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQLX_SANITIZE=ON -DQLX_CORE_ONLY=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure --timeout 900 -j2 -L 'unit|integration')
