#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exit status = the tests'.
#   scripts/test.sh          the whole suite
#   scripts/test.sh --asan   the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan   the encoder, engine-control and log-bridge tests under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

mode=${1:-}
case "$mode" in
  "")
    scripts/build.sh
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    ;;
  --asan)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
    cmake --build build-asan -j"$(nproc)"
    # Leaks are checked too: this build keeps the system's media libraries
    # mapped after an unload, so what they keep from their start-up stays
    # reachable and every report is one of ours, except what scripts/lsan.supp
    # lists (a library that loses memory on its own).
    export ASAN_OPTIONS=detect_leaks=1
    export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
    ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
    ;;
  --tsan)
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
    cmake --build build-tsan -j"$(nproc)" --target avbind_tests engine_tests encoder_tests
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
    ctest --test-dir build-tsan --output-on-failure -j"$(nproc)" \
      -R '^(LogBridgeTest|LoggerInstances|MainThreadCalls|InterruptRegistry|EngineLifecycle|EngineInterrupts|EncoderTest)\.'
    ;;
  *)
    echo "usage: scripts/test.sh [--asan|--tsan]" >&2
    exit 2
    ;;
esac
