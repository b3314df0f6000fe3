#!/usr/bin/env bash
# Builds the Debian package the Debian way (dpkg-buildpackage with the helpers of debian/, from a
# copy of the sources in OUT_DIR) and checks it as Debian would: lintian on the .deb, and the
# desktop entry and AppStream metadata from inside the package through their validators. Fails if
# the build fails or if any check reports an error or a warning (lintian's info tags are shown
# but pass).
#
#   tools/check-package.sh OUT_DIR
#
# The tests are not built into the package unless DEB_BUILD_OPTIONS lacks nocheck; this script
# sets nocheck unless told otherwise, for tools/run.sh test has just run them.
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

# The files git knows, as they are now: no build directory goes into the package's build.
tree="$out_dir/flashupdate"
rm -rf "$tree" "$out_dir"/flashupdate*_*.deb "$out_dir"/flashupdate_*.buildinfo \
  "$out_dir"/flashupdate_*.changes
mkdir -p "$tree"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 tar -c --no-recursion --ignore-failed-read -f - 2>/dev/null) | (cd "$tree" && tar -x -f -)
log="$out_dir/dpkg-buildpackage.log"
if ! (cd "$tree" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck}" \
      dpkg-buildpackage -us -uc -b -j"$(nproc)" >"$log" 2>&1); then
  tail -n 40 "$log" >&2
  echo "check-package: dpkg-buildpackage failed (log: $log)" >&2
  exit 1
fi
deb=$(ls "$out_dir"/flashupdate_*.deb)
echo "Package: $deb"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"

failed=0

echo "== lintian"
# Run as root (as in CI), lintian says so on stderr: not a finding.
lintian --display-info --fail-on error,warning "$deb" 2> >(grep -v 'running with root' >&2) \
  || failed=1

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

if ((failed)); then
  echo "check-package: FAILED" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") passes"
