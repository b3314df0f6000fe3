#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what is missing, builds, and then
#   demo   starts the instrument simulator and the window with a sample image chosen
#   test   runs every test, then again built with AddressSanitizer and UBSan, then the fuzzer
#   bench  times complete updates against the simulator
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-}
case "$mode" in
  demo | test | bench) ;;
  *) echo "usage: tools/run.sh demo|test|bench" >&2; exit 2 ;;
esac

packages=(cmake make g++ qt6-base-dev qt6-serialport-dev libgtest-dev fonts-liberation
          clang libclang-rt-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

case "$mode" in
  demo)
    build build
    link="$PWD/build/demo/com1"
    build/instrument-sim --paced --link "$link" > build/demo/instrument.log &
    simulator=$!
    trap 'kill $simulator 2>/dev/null || true' EXIT
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    echo "Instrument simulator on $(head -n1 build/demo/instrument.log), as Com1."
    echo "Press Start to flash build/demo/SAMPLE.IMG."
    FLASHUPDATE_COM1="$link" build/demo/flashupdate "$PWD/build/demo/SAMPLE.IMG,1"
    ;;
  test)
    # The end-to-end tests spend their time waiting for the line, not on the CPU: run more of
    # them at once than there are cores.
    tests_at_once=$((jobs * 3))
    tests/fuzz/run.sh build-fuzz 20
    build build
    (cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$tests_at_once" -LE bench)
    build build-asan -DFLASHUPDATE_SANITIZE=ON
    (cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
      LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --output-on-failure -j"$tests_at_once" -LE 'bench|faults|slow')
    ;;
  bench)
    build build
    build/bench-update --runs 3 --records 1
    build/bench-update --runs 3 --records 3
    ;;
esac
