#!/bin/sh
# Builds the number reader's fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for a while.
#
#   tests/fuzz/run.sh BUILD_DIR [SECONDS]
#
# SECONDS defaults to 20. The corpus grows in BUILD_DIR/number_reader_corpus and is kept between
# runs, so later runs start where earlier ones stopped. A crash leaves its input in BUILD_DIR as
# crash-* and makes this script exit non-zero. Needs clang-14 and libclang-rt-14-dev (Debian 12).
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
build_dir=$1
seconds=${2:-20}

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

compiler=
for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null 2>&1; then
        compiler=$candidate
        break
    fi
done
if [ -z "$compiler" ]; then
    echo "$0: no clang++ found; install clang-14 and libclang-rt-14-dev" >&2
    exit 2
fi

mkdir -p "$build_dir/number_reader_corpus"
target=$build_dir/number_reader_fuzz

# -fno-sanitize-recover turns every finding of UndefinedBehaviorSanitizer into a crash that
# libFuzzer records, rather than a message that scrolls by.
"$compiler" -std=c++20 -g -O1 -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
    -I"$source_dir/src" \
    "$here/number_reader_fuzz.cpp" "$source_dir/src/ui/number_reader.cpp" \
    -o "$target"

cd "$build_dir"
exec "./number_reader_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -dict="$here/number_reader.dict" -print_final_stats=1 number_reader_corpus
