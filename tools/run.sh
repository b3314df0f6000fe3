#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what is missing, builds, and then
#   demo   starts the instrument simulator and the window with a sample image chosen
#   test   checks the formatting, builds with clang and runs the fuzzer, runs every test, makes
#          and checks the Debian package, then runs the tests again built with AddressSanitizer
#          and UBSan
#   bench  times complete updates against the simulator
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=${1:-}
case "$mode" in
  demo | test | bench) ;;
  *) echo "usage: tools/run.sh demo|test|bench" >&2; exit 2 ;;
esac

# Every long step runs in a process group of its own, which is ended when this script ends,
# however it ends (success, a failure, Ctrl-C, SIGTERM): nothing it started outlives it. The step
# that failed and the time taken are reported at the end.
step="installing what is missing"
groups=()
finish() {
  local status=$?
  trap - EXIT INT TERM
  local group alive=()
  for group in "${groups[@]}"; do
    kill -0 -- "-$group" 2>/dev/null && alive+=("-$group")
  done
  if ((${#alive[@]})); then
    kill -TERM -- "${alive[@]}" 2>/dev/null || true
    sleep 1
    kill -KILL -- "${alive[@]}" 2>/dev/null || true
  fi
  local took="$((SECONDS / 60)) min $((SECONDS % 60)) s"
  if ((status == 0)); then
    echo "tools/run.sh $mode: done in $took."
  else
    echo "tools/run.sh $mode: failed at: $step (exit status $status, after $took)." >&2
  fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# start_group COMMAND...: runs it in a process group of its own, in the background; the group's
# leader is $started. A group does not get the terminal's Ctrl-C: this script does, and ends it.
# Nothing in a group reads the terminal, where it would be stopped.
start_group() {
  set -m
  "$@" < /dev/null &
  started=$!
  set +m
  groups+=("$started")
}
# in_group NAME COMMAND...: the step NAME in a group of its own, waited for. A signal to this
# script interrupts the wait at once.
in_group() {
  step=$1
  shift
  start_group "$@"
  wait "$started"
}

packages=(cmake make g++ qt6-base-dev qt6-serialport-dev libgtest-dev fonts-liberation
          clang libclang-rt-dev clang-format dpkg-dev help2man lintian desktop-file-utils
          appstream ser2net debhelper)
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
configure() {  # configure DIR [cmake options...]; later options win over the defaults here
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHUPDATE_WERROR=ON "$@" >/dev/null
}
build() {  # build DIR [cmake options...]
  configure "$@"
  cmake --build "$1" -j"$jobs"
}
# Built as Debian builds its packages: optimised, with the distribution's hardening flags, whose
# extra warnings are errors here like any other. Passed on every configure, not through the
# environment, so that a build directory configured earlier takes them too.
# Every hardening feature, as lintian expects of a package (bind-now included).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
hardened=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$cxxflags"
          -DCMAKE_EXE_LINKER_FLAGS="$ldflags")

case "$mode" in
  demo)
    in_group "building" build build "${hardened[@]}"
    link="$PWD/build/demo/com1"
    step="starting the instrument simulator"
    start_group build/instrument-sim --paced --link "$link" > build/demo/instrument.log
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    echo "Instrument simulator on $(head -n1 build/demo/instrument.log), as Com1."
    echo "Press Start to flash build/demo/SAMPLE.IMG."
    step="the window"
    FLASHUPDATE_COM1="$link" build/demo/flashupdate "$PWD/build/demo/SAMPLE.IMG,1"
    ;;
  test)
    # The end-to-end tests spend their time waiting for the line, not on the CPU: run more of
    # them at once than there are cores.
    tests_at_once=$((jobs * 3))
    step="checking the formatting"
    if ! git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tools/*.cpp' \
        'tools/*.h' | xargs -0 clang-format --dry-run --Werror; then
      echo "Not formatted as .clang-format asks: run clang-format -i on the files above." >&2
      exit 1
    fi
    in_group "building the tests (hardened Release)" build build "${hardened[@]}"
    # The plain tests mostly wait for the line, so the other builds compile and the fuzzer runs
    # meanwhile, at a lower priority than the tests. The second compiler sees other mistakes;
    # only its warnings count, so only the programs a user runs are built, without debug
    # information (-g0; the fuzzer keeps its own -g).
    background_log=$PWD/build/other-builds.log
    other_builds() {
      configure build-clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$cxxflags -g0" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_CXX_COMPILER=clang++ \
        -DFLASHUPDATE_TESTS=OFF -DFLASHUPDATE_FUZZ=ON
      nice -n 10 cmake --build build-clang -j"$jobs" \
        --target flashupdate flashupdate-cli number_reader_fuzz
      nice -n 10 tests/fuzz/run.sh build-clang 20
      configure build-asan -DFLASHUPDATE_SANITIZE=ON
      nice -n 10 cmake --build build-asan -j"$jobs"
    }
    start_group other_builds > "$background_log" 2>&1
    background=$started
    plain_tests() {
      cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$tests_at_once" -LE bench
    }
    in_group "the tests" plain_tests
    # The package, built by dpkg-buildpackage with Debian's helpers and checked as Debian checks
    # packages, at a lower priority while the sanitizer tests (which mostly wait) run.
    package_log=$PWD/build/package-check.log
    start_group nice -n 10 tools/check-package.sh build/package > "$package_log" 2>&1
    package=$started
    step="the Clang build, the fuzzer or the sanitizer build"
    if ! wait "$background"; then
      cat "$background_log" >&2
      echo "The Clang build, the fuzzer or the sanitizer build failed (log above)." >&2
      exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$background_log" || true
    echo "Clang build, fuzzer and sanitizer build: done (log in $background_log)."
    sanitizer_tests() {
      cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j"$tests_at_once" -LE 'bench|faults|slow'
    }
    in_group "the tests built with AddressSanitizer and UBSan" sanitizer_tests
    step="the package check"
    if ! wait "$package"; then
      cat "$package_log" >&2
      exit 1
    fi
    cat "$package_log"
    ;;
  bench)
    in_group "building" build build "${hardened[@]}"
    in_group "the benchmark (1 record)" build/bench-update --runs 3 --records 1
    in_group "the benchmark (3 records)" build/bench-update --runs 3 --records 3
    ;;
esac
