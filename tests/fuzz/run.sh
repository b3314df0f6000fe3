#!/bin/sh
# Runs the number reader's fuzz target, built with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, for a while.
#
#   tests/fuzz/run.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR is a CMake build directory configured with clang and the fuzz target, such as
#   cmake -S . -B BUILD_DIR -DCMAKE_CXX_COMPILER=clang++ -DFLASHUPDATE_FUZZ=ON
# or tools/run.sh test's build-asan, which adds the sanitizers and the tests.
# The target is brought up to date first. SECONDS defaults to 20. The corpus grows in
# BUILD_DIR/number_reader_corpus and is kept between runs, so later runs start where earlier ones
# stopped. A crash leaves its input in BUILD_DIR as crash-* and makes this script exit non-zero.
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
build_dir=$1
seconds=${2:-20}

here=$(cd "$(dirname "$0")" && pwd)

if ! grep -qx 'FLASHUPDATE_FUZZ:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
    echo "$0: $build_dir is not a build directory with the fuzz target; configure it with" >&2
    echo "  cmake -S . -B $build_dir -DCMAKE_CXX_COMPILER=clang++ -DFLASHUPDATE_FUZZ=ON" >&2
    exit 2
fi
cmake --build "$build_dir" --target number_reader_fuzz

mkdir -p "$build_dir/number_reader_corpus"
cd "$build_dir"
exec ./number_reader_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -dict="$here/number_reader.dict" -print_final_stats=1 number_reader_corpus
