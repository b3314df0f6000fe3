#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine: installs what is missing, builds, and then
#   demo   starts the instrument simulator and the window with a sample image chosen
#   test   checks the formatting; builds the Debian package with the distribution's flags, which
#          runs every test at build time, and checks it; builds with Clang, AddressSanitizer and
#          UBSan, runs the tests there too and runs the fuzzer; cross-compiles the core for
#          Windows and runs its unit tests under Wine; prints the time of each phase
#   bench  times complete updates against the simulator, and one call updating a fleet of them
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
began=$EPOCHSECONDS

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
# Where the time goes: one line per phase, "START END NAME" in seconds since the epoch, from this
# script and from tools/check-package.sh; phases may overlap.
mkdir -p build
phases=$root/build/phases
: >"$phases"
phase() {  # phase START NAME: from START until now
  echo "$1 $EPOCHSECONDS $2" >>"$phases"
}
show_phases() {
  local files=("$phases") start end name
  # The package's own phases belong to a test run, not to a demo after one.
  [ "$mode" = test ] && [ -f build/package/phases ] && files+=(build/package/phases)
  echo "Phases (from the start of tools/run.sh, and how long each took; some overlap):"
  sort -n "${files[@]}" | while read -r start end name; do
    printf '  at %2d:%02d  took %2d:%02d  %s\n' $(((start - began) / 60)) $(((start - began) % 60)) \
      $(((end - start) / 60)) $(((end - start) % 60)) "$name"
  done
}
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
  show_phases
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
# in_group NAME COMMAND...: the step NAME in a group of its own, waited for, and its time noted.
# A signal to this script interrupts the wait at once.
in_group() {
  step=$1
  shift
  local from=$EPOCHSECONDS
  start_group "$@"
  wait "$started"
  phase "$from" "$step"
}

packages=(cmake make g++ qt6-base-dev qt6-serialport-dev libgtest-dev fonts-liberation
          clang libclang-rt-dev clang-format dpkg-dev help2man lintian desktop-file-utils
          appstream ser2net debhelper g++-mingw-w64-x86-64-posix wine64)
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
phase "$began" "installing what is missing"

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
# The demo and the benchmark need the programs, not the tests, and are built once: in batches of
# sources, as the package is.
programs=("${hardened[@]}" -DFLASHUPDATE_TESTS=OFF -DCMAKE_UNITY_BUILD=ON)

case "$mode" in
  demo)
    in_group "building" build build "${programs[@]}"
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
    formatting_started=$EPOCHSECONDS
    step="checking the formatting"
    if ! git ls-files -z -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tools/*.cpp' \
        'tools/*.h' | xargs -0 clang-format --dry-run --Werror; then
      echo "Not formatted as .clang-format asks: run clang-format -i on the files above." >&2
      exit 1
    fi
    phase "$formatting_started" "checking the formatting"
    # Three builds. The package, built by dpkg-buildpackage with Debian's flags and hardening, runs
    # every test at build time and is then checked as Debian checks packages. The second build is
    # Clang's (the other compiler sees other mistakes) with AddressSanitizer, UBSan and the fuzzer.
    # The third is the core alone for Windows, its unit tests under Wine.
    # The real-time tests must never share the machine with a compile or with each other at equal
    # priority: the Clang and Windows builds compile at the lowest priority from the start, and
    # mostly while the package's tests wait for the line; the Clang build's tests begin once the
    # package's are over, and what is left of the package (install, strip, .deb, lintian) is then
    # lowered to the lowest priority in turn. Its tests leave out the slow and fault tables.
    sanitizer_log=$root/build/sanitizer-build.log
    sanitizer_build() {
      renice -n 19 -p "$BASHPID" >/dev/null
      local started=$EPOCHSECONDS
      # Line tables only: the reports name file and line, and compiling and linking take less.
      # -O1, as the sanitizers' own advice has it: the reports stay exact, the compile is shorter.
      configure build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DFLASHUPDATE_SANITIZE=ON \
        -DFLASHUPDATE_FUZZ=ON -DCMAKE_UNITY_BUILD=ON \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG"
      cmake --build build-sanitize -j"$jobs"
      phase "$started" "Clang build with the sanitizers: configure and compile (lowest priority)"
    }
    start_group sanitizer_build >"$sanitizer_log" 2>&1
    sanitizer=$started
    # The core for Windows: the Qt-free libraries and their unit tests, cross-compiled with
    # mingw-w64 and run under Wine, all at the lowest priority from the start, so they take what
    # the other builds and the real-time tests leave. The unit tests run on virtual time: being
    # starved costs them time, never a verdict.
    windows_log=$root/build/windows-build.log
    windows_build() {
      renice -n 19 -p "$BASHPID" >/dev/null
      # Below even the Clang build, which the sanitizer tests wait for: this one waits for nothing.
      chrt --idle -p 0 "$BASHPID" >/dev/null 2>&1 || true
      local started=$EPOCHSECONDS prefix=$root/build-windows/wineprefix booting=""
      export WINEPREFIX=$prefix WINEDEBUG=-all
      # Wine's Windows is made once (about 20 s, while the compiler works) and kept. No .NET or
      # browser engine is offered for download, and no menu entries are added to the desktop.
      # Its server is waited for, so the prefix is complete on disk and nothing is left running.
      if [ ! -e "$prefix/.made" ]; then
        # Wine makes the prefix but not its parent, which the compile below may not have made yet.
        mkdir -p "$(dirname "$prefix")"
        (rm -rf "$prefix" && WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" \
           /usr/lib/wine/wine64 wineboot -i &&
           /usr/lib/wine/wineserver -w && touch "$prefix/.made") &
        booting=$!
      fi
      # Without debugging information, and optimised only lightly (the tests run on virtual
      # time), the compiler does a fraction of the work.
      configure build-windows --toolchain cmake/mingw-w64.cmake -DCMAKE_UNITY_BUILD=ON \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG"
      cmake --build build-windows -j"$jobs"
      [ -z "$booting" ] || wait "$booting"
      phase "$started" "Windows build of the core: configure and compile (lowest priority)"
      started=$EPOCHSECONDS
      # Verbose: the log keeps GoogleTest's count of what passed and what was skipped.
      ctest --test-dir build-windows -V
      /usr/lib/wine/wineserver -w
      phase "$started" "the core's unit tests under Wine (lowest priority)"
    }
    start_group windows_build >"$windows_log" 2>&1
    windows=$started
    windows_over=""
    windows_check() {  # a failure of the Windows build ends the command as soon as it is seen
      [ -z "$windows_over" ] && ! kill -0 "$windows" 2>/dev/null || return 0
      windows_over=1
      if ! wait "$windows"; then
        step="the Windows build of the core or its unit tests under Wine"
        cat "$windows_log" >&2
        exit 1
      fi
    }
    package_log=$root/build/package-check.log
    rm -f build/package/built build/package/phases
    start_group env FLASHUPDATE_WERROR=ON tools/check-package.sh build/package >"$package_log" 2>&1
    package=$started
    fuzz_log=$root/build/fuzz.log
    fuzz() {
      renice -n 19 -p "$BASHPID" >/dev/null
      local started=$EPOCHSECONDS
      tests/fuzz/run.sh build-sanitize 20
      phase "$started" "the fuzzer (20 s of one core, lowest priority)"
    }
    step="the package build or the Clang build"
    sanitizer_built="" package_tested=""
    until [ -n "$sanitizer_built" ] && [ -n "$package_tested" ]; do
      if [ -z "$sanitizer_built" ] && ! kill -0 "$sanitizer" 2>/dev/null; then
        if ! wait "$sanitizer"; then
          step="the Clang build with the sanitizers"
          cat "$sanitizer_log" >&2
          exit 1
        fi
        sanitizer_built=1
        start_group fuzz >"$fuzz_log" 2>&1
        fuzzer=$started
      fi
      if [ -z "$package_tested" ]; then
        if [ -e build/package/built ]; then
          package_tested=1
          # Already over, if the rest of the package was that quick.
          renice -n 19 -g "$package" >/dev/null 2>&1 || true
        elif ! kill -0 "$package" 2>/dev/null; then
          step="the package build or its tests"
          wait "$package" || true
          cat "$package_log" >&2
          exit 1
        fi
      fi
      windows_check
      sleep 1
    done
    # The end-to-end tests wait for the line more than they compute: three at once per core, as
    # in the package build. The runs whose code shorter tests here run too (a stop and a power
    # cycle, a job run twice, TLS; the fleets are not built here) are the package build's alone.
    sanitizer_tests() {
      cd build-sanitize && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j"$((jobs * 3))" -LE 'bench|faults|slow' \
          -E 'AStopInTheMiddleOfARecordAsksForAPowerCycle|CliJob\.|OverTls'
    }
    in_group "the tests built with AddressSanitizer and UBSan" sanitizer_tests
    step="the fuzzer"
    if ! wait "$fuzzer"; then
      cat "$fuzz_log" >&2
      exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$fuzz_log" || true
    step="the Windows build of the core or its unit tests under Wine"
    if [ -z "$windows_over" ] && ! wait "$windows"; then
      cat "$windows_log" >&2
      exit 1
    fi
    grep -E '^1: \[  (PASSED|SKIPPED) +\] [0-9]+ tests?' "$windows_log" |
      sed -E 's/^1: (.*[0-9]+ tests?).*/Under Wine: \1/' || true
    step="the package build or its checks"
    if ! wait "$package"; then
      cat "$package_log" >&2
      exit 1
    fi
    cat "$package_log"
    ;;
  bench)
    in_group "building" build build "${programs[@]}"
    in_group "the benchmark (1 record)" build/bench-update --runs 3 --records 1
    in_group "the benchmark (3 records)" build/bench-update --runs 3 --records 3
    # A rack in one call, at a desktop session's open-file limit.
    in_group "the fleet benchmark (100 ports)" tools/bench/fleet.sh build 100 1024
    in_group "the fleet benchmark (1,000 ports)" tools/bench/fleet.sh build 1000 1024:20000
    in_group "the fleet benchmark (10,000 network ports)" \
      tools/bench/fleet.sh --network build 10000 1024:20000
    ;;
esac
