#!/usr/bin/env bash
# Makes the Debian package in BUILD_DIR and checks it as Debian would: lintian on the .deb, and
# the desktop entry and AppStream metadata from inside the package through their validators.
# Fails if cpack fails or if any check reports an error or a warning (lintian's info tags are
# shown but pass).
#
#   tools/check-package.sh BUILD_DIR
#
# BUILD_DIR is a configured build directory, best a Release build with Debian's hardening flags:
#   CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
#   LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" cmake -S . -B BUILD_DIR -DCMAKE_BUILD_TYPE=Release
# Needs lintian, desktop-file-utils, appstream, help2man and dpkg-dev.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
  echo "usage: tools/check-package.sh BUILD_DIR (a configured build directory)" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)

missing=()
for tool in cpack lintian desktop-file-validate appstreamcli help2man dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "check-package: missing ${missing[*]}" \
    "(apt-get install lintian desktop-file-utils appstream help2man dpkg-dev)" >&2
  exit 2
fi

# cpack packages what was built last; building first keeps a stale program or page out.
cmake --build "$build_dir" -j"$(nproc)" >/dev/null

cpack_log=$(cd "$build_dir" && cpack -G DEB 2>&1) || { echo "$cpack_log" >&2; exit 1; }
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' <<<"$cpack_log" | tail -n 1)
if [ -z "$deb" ]; then
  echo "$cpack_log" >&2
  echo "check-package: cpack named no .deb" >&2
  exit 1
fi
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
