#!/usr/bin/env bash
# Builds the Debian packages the Debian way (dpkg-buildpackage with the helpers of debian/, from a
# copy of the sources in OUT_DIR: flashupdate, and flashupdate-simulator beside it) and checks them
# as Debian would: lintian on each .deb, and the desktop entry and AppStream metadata from inside
# the package through their validators; the simulator's package must hold its program and manual
# page and nothing of the tool's. Fails if the build fails, a test fails, or any check reports an
# error or a warning (lintian's info tags are shown but pass).
#
#   tools/check-package.sh OUT_DIR
#
# The tests run at build time (dh_auto_test) unless DEB_BUILD_OPTIONS has nocheck; with
# FLASHUPDATE_WERROR=ON in the environment a compiler warning fails the build.
# Once the build and its tests have passed, as packaging begins, OUT_DIR/built appears:
# tools/run.sh waits for it to start the next tests. OUT_DIR/phases holds the start, the end
# (seconds since the epoch) and the name of each phase.
# The build directory is kept, so a second run compiles only what changed.
# Needs debhelper, dpkg-dev, lintian, desktop-file-utils, appstream and the build dependencies.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: tools/check-package.sh OUT_DIR" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out_dir=$(cd "$1" && pwd)

missing=()
for tool in dpkg-buildpackage dh lintian desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "check-package: missing ${missing[*]}" \
    "(apt-get install debhelper dpkg-dev lintian desktop-file-utils appstream)" >&2
  exit 2
fi

phases="$out_dir/phases"
built="$out_dir/built"
rm -f "$phases" "$built" "$out_dir"/flashupdate*_*.deb "$out_dir"/flashupdate*_*.ddeb \
  "$out_dir"/flashupdate_*.buildinfo "$out_dir"/flashupdate_*.changes
phase() {  # phase START NAME: from START until now
  echo "$1 $EPOCHSECONDS $2" >>"$phases"
}

# The files git knows, as they are now: no build directory goes into the package's build. All
# but the build directory (obj-*) is replaced, so a file deleted since the last run is gone; the
# copies keep their times, so make rebuilds what changed and nothing else. The helpers' own
# records go too, so that dh configures, builds and tests again.
tree="$out_dir/flashupdate"
mkdir -p "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 tar -c --no-recursion --ignore-failed-read -f - 2>/dev/null) | (cd "$tree" && tar -x -f -)

# Copies dpkg-buildpackage's output into its log, noting from dh's account of what it runs when
# the tests begin and when the build sequence is over (its stamp, or the first step of the
# binary sequence). No hook can tell: without root, dpkg-buildpackage calls the binary target
# alone, and dh builds and tests inside it.
started=$EPOCHSECONDS
follow_build() {
  local line tests_started="" packaging_started=""
  while IFS= read -r line; do
    printf '%s\n' "$line"
    case $line in
      "   debian/rules override_dh_auto_test"* | "   dh_auto_test"*)
        tests_started=$EPOCHSECONDS
        phase "$started" "package build: configure and compile"
        ;;
      "   create-stamp debian/debhelper-build-stamp"* | "   dh_prep"*)
        [ -z "$packaging_started" ] || continue
        if [ -n "$tests_started" ]; then
          phase "$tests_started" "package build: the tests (dh_auto_test)"
        else
          phase "$started" "package build: configure and compile"
        fi
        packaging_started=$EPOCHSECONDS
        touch "$built"
        ;;
    esac
  done
  [ -z "$packaging_started" ] || phase "$packaging_started" "package build: install, strip, .deb"
}
log="$out_dir/dpkg-buildpackage.log"
# -nc: debian/rules clean would remove the build directory kept above.
if ! (cd "$tree" && dpkg-buildpackage -us -uc -b -nc -j"$(nproc)" 2>&1 | follow_build >"$log"); then
  # What the log holds of the compiler's findings and of the failed tests' output (ctest prints
  # it after a result marked ***), then how the build ended.
  awk '/ error: | warning: / && shown++ < 40 { print }
       /^ +Start +[0-9]+: |^ *[0-9]+\/[0-9]+ Test +#/ { failed = /\*\*\*/ && !/Skipped/ }
       failed { print }' "$log" >&2
  tail -n 25 "$log" >&2
  echo "check-package: dpkg-buildpackage failed (log: $log)" >&2
  exit 1
fi
# Should dh ever word its account otherwise, the build is over now.
touch "$built"
deb=$(ls "$out_dir"/flashupdate_*.deb)
simulator_deb=$(ls "$out_dir"/flashupdate-simulator_*.deb)
echo "Packages: $deb $simulator_deb"

checks_started=$EPOCHSECONDS
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"

failed=0

echo "== lintian"
# Run as root (as in CI), lintian says so on stderr: not a finding.
lintian --display-info --fail-on error,warning "$deb" "$simulator_deb" \
  2> >(grep -v 'running with root' >&2) || failed=1

echo "== the simulator's package"
# Its program and manual page, and nothing that the tool's package installs as well.
simulator_files=$(dpkg-deb --contents "$simulator_deb" | awk '{ print $NF }' | grep -v '/$')
for expected in ./usr/bin/flashupdate-simulator ./usr/share/man/man1/flashupdate-simulator.1.gz; do
  grep -qxF "$expected" <<<"$simulator_files" || { echo "missing: $expected"; failed=1; }
done
tool_files=$(dpkg-deb --contents "$deb" | awk '{ print $NF }' | grep -v '/$')
shared=$(comm -12 <(sort <<<"$simulator_files") <(sort <<<"$tool_files") |
  grep -v '^./usr/share/doc/' || true)
if [ -n "$shared" ]; then
  echo "in both packages: $shared"
  failed=1
fi

echo "== desktop-file-validate"
for entry in "$unpacked"/usr/share/applications/*.desktop; do
  # It exits 0 on warnings: anything it prints counts.
  report=$(desktop-file-validate "$entry" 2>&1) || failed=1
  if [ -n "$report" ]; then
    echo "$report"
    failed=1
  fi
done

echo "== appstreamcli validate"
appstreamcli validate --no-net --strict "$unpacked"/usr/share/metainfo/*.metainfo.xml || failed=1
phase "$checks_started" "package checks: lintian and the validators"

if ((failed)); then
  echo "check-package: FAILED" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") and $(basename "$simulator_deb") pass"
