#!/bin/sh
# Builds the Debian packages from the build folder with scripts/make-deb.sh
# and checks them: control fields and dependencies, the files and their
# owners, a stripped program whose debug information is in the -dbgsym
# package under its build id, compressed manual pages, the menu entry and
# AppStream metadata (with their validators when installed), the copyright
# file and changelog. Then installs both packages into a scratch root with
# dpkg --root (as root), checks the checksums, runs the installed launcher
# there, removes the packages again, and runs lintian when it is installed.
# Exits 77 (skipped) when the Debian packaging tools are missing.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR APPSTREAM_ID
set -u
build=$1 source=$2 appstream_id=$3

for tool in dpkg-deb dpkg-shlibdeps dpkg-parsechangelog objcopy readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (packages dpkg-dev and binutils)"
    exit 77
  fi
done

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "package checks passed"
  exit 0
}
# Whether the ELF file $1 has a section named $2.
has_section() { readelf -S -W "$1" 2>/dev/null | grep -q " $2 "; }
# The build id of the ELF file $1.
build_id_of() { readelf -n "$1" 2>/dev/null | sed -n 's/^ *Build ID: *//p'; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

manifest="$build/install_manifest.txt"
manifest_before=$(cat "$manifest" 2>/dev/null || echo none)
if ! "$source/scripts/make-deb.sh" "$build" "$tmp/out" >"$tmp/made" 2>"$tmp/make.log"; then
  cat "$tmp/make.log" >&2
  fail "make-deb.sh failed"
  finish
fi
[ "$(cat "$manifest" 2>/dev/null || echo none)" = "$manifest_before" ] ||
  fail "make-deb.sh changed the build folder's install manifest"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb="$tmp/out/quillfen_${version}_${arch}.deb"
dbgsym="$tmp/out/quillfen-dbgsym_${version}_${arch}.deb"
printf '%s\n%s\n' "$deb" "$dbgsym" | cmp -s - "$tmp/made" ||
  fail "make-deb.sh did not report the two packages: $(cat "$tmp/made")"
[ -f "$deb" ] && [ -f "$dbgsym" ] || { fail "packages missing: $(ls "$tmp/out")"; finish; }

# Control fields.
field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$deb" Package)" = quillfen ] || fail "package name $(field "$deb" Package)"
[ "$(field "$deb" Version)" = "$version" ] || fail "package version $(field "$deb" Version)"
[ "$(field "$deb" Architecture)" = "$arch" ] || fail "architecture $(field "$deb" Architecture)"
depends=$(field "$deb" Depends)
echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' >"$tmp/depends"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
  grep -Fxq "$lib" "$tmp/depends" || fail "Depends lacks $lib: $depends"
done
echo "$depends" | grep -q 'libqt6core6 (>= 6\.' || fail "Depends has no Qt 6 version bound: $depends"
field "$deb" Installed-Size | grep -Eq '^[0-9]+$' || fail "Installed-Size not a number"
[ "$(field "$dbgsym" Depends)" = "quillfen (= $version)" ] ||
  fail "dbgsym Depends is $(field "$dbgsym" Depends)"

# Every entry owned by root.
dpkg-deb -c "$deb" >"$tmp/contents"
dpkg-deb -c "$dbgsym" >>"$tmp/contents"
awk '$2 != "root/root" { print }' "$tmp/contents" >"$tmp/not-root"
[ -s "$tmp/not-root" ] && fail "entries not owned by root: $(cat "$tmp/not-root")"

x="$tmp/x"
dpkg-deb -x "$deb" "$x"
dpkg-deb -x "$dbgsym" "$x"
share="$x/usr/share"
for f in "$x/usr/bin/quillfen" "$x/usr/bin/quillfen-launcher" "$share/quillfen/Quillfen.html" \
  "$share/applications/quillfen.desktop" "$share/icons/hicolor/scalable/apps/quillfen.svg" \
  "$share/metainfo/$appstream_id.metainfo.xml" "$share/man/man1/quillfen.1.gz" \
  "$share/doc/quillfen/copyright" "$share/doc/quillfen/changelog.gz" \
  "$share/doc/quillfen/examples/quillfen.service" "$share/doc/quillfen/examples/quillfen.timer"; do
  [ -f "$f" ] || fail "package lacks ${f#"$x"}"
done
[ -x "$x/usr/bin/quillfen" ] && [ -x "$x/usr/bin/quillfen-launcher" ] ||
  fail "programs not executable"
[ -e "$x/usr/local" ] && fail "package installs into /usr/local"
find "$x" -perm /6022 ! -type l >"$tmp/modes"
[ -s "$tmp/modes" ] && fail "set-ID or group/other-writable entries: $(cat "$tmp/modes")"

# The program is stripped; its debug information is in the -dbgsym package
# under its build id, and belongs to exactly this program.
program="$x/usr/bin/quillfen"
for section in .debug_info .symtab; do
  has_section "$program" "$section" && fail "installed program keeps $section"
done
build_id=$(build_id_of "$program")
debug="$x/usr/lib/debug/.build-id/$(echo "$build_id" | cut -c1-2)/$(echo "$build_id" | cut -c3-).debug"
if [ -z "$build_id" ]; then
  fail "stripped program has no build id"
elif [ ! -f "$debug" ]; then
  fail "no debug file for build id $build_id: $(find "$x/usr/lib/debug" -type f)"
else
  has_section "$debug" .debug_info || fail "debug file has no .debug_info"
  has_section "$debug" .symtab || fail "debug file has no symbol table"
  [ "$(build_id_of "$debug")" = "$build_id" ] ||
    fail "debug file has another build id"
fi
[ "$(field "$dbgsym" Build-Ids)" = "$build_id" ] || fail "dbgsym Build-Ids field $(field "$dbgsym" Build-Ids)"

# Manual pages compressed without name or time stamp, the launcher's a link.
man1="$share/man/man1"
[ -e "$man1/quillfen.1" ] || [ -e "$man1/quillfen-launcher.1" ] && fail "uncompressed manual pages"
gzip -t "$man1/quillfen.1.gz" || fail "quillfen.1.gz is not gzip"
[ "$(od -An -tx1 -j3 -N5 "$man1/quillfen.1.gz" | tr -d ' ')" = 0000000000 ] ||
  fail "quillfen.1.gz keeps a file name or time stamp (not gzip -n)"
[ "$(readlink "$man1/quillfen-launcher.1.gz")" = quillfen.1.gz ] ||
  fail "quillfen-launcher.1.gz is not a link to quillfen.1.gz"
gzip -dc "$man1/quillfen.1.gz" >"$tmp/quillfen.1"
grep -q '@[A-Z_]*@' "$tmp/quillfen.1" && fail "placeholders left in the manual page"
grep -Fq /usr/share/quillfen/Quillfen.html "$tmp/quillfen.1" ||
  fail "manual page does not name the packaged help page"

# Installed paths in the menu entry and the example service are the package's.
desktop="$share/applications/quillfen.desktop"
grep -Fxq 'Exec=/usr/bin/quillfen-launcher' "$desktop" || fail "menu entry Exec is $(grep ^Exec= "$desktop")"
grep -Fxq 'ExecStart=/usr/bin/quillfen-launcher -s' "$share/doc/quillfen/examples/quillfen.service" ||
  fail "example service does not run /usr/bin/quillfen-launcher"
metainfo="$share/metainfo/$appstream_id.metainfo.xml"
grep -Fq "<id>$appstream_id</id>" "$metainfo" || fail "metainfo id is not $appstream_id"
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$share/applications/$launchable" ] || fail "metainfo launchable '$launchable' is not the menu entry"
grep -Fq "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the menu entry"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$metainfo" >"$tmp/appstream.log" 2>&1 ||
    fail "appstreamcli rejects the metadata: $(cat "$tmp/appstream.log")"
else
  echo "note: appstreamcli missing, metadata not validated"
fi

# Copyright in the machine-readable format; the changelog's version is the package's.
head -n 1 "$share/doc/quillfen/copyright" |
  grep -Fxq 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "copyright file is not in the machine-readable format"
gzip -dc "$share/doc/quillfen/changelog.gz" >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$version" ] ||
  fail "changelog does not start with version $version"

# Into a scratch root: install, verify checksums, run, remove.
if [ "$(id -u)" -ne 0 ]; then
  echo "note: not root, the installation into a scratch root is not tried"
else
  r="$tmp/root"
  mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates"
  : >"$r/var/lib/dpkg/status"
  dpkgr() { dpkg --root="$r" --log=/dev/null --force-depends "$@"; }
  if dpkgr -i "$deb" "$dbgsym" >"$tmp/dpkg.log" 2>&1; then
    [ "$(dpkg-query --admindir="$r/var/lib/dpkg" -W -f='${Status}' quillfen)" = "install ok installed" ] ||
      fail "quillfen not installed in the scratch root"
    dpkgr --verify quillfen quillfen-dbgsym >"$tmp/verify" 2>&1 || true
    [ -s "$tmp/verify" ] && fail "installed files differ from the package checksums: $(cat "$tmp/verify")"
    home="$tmp/home"
    mkdir -p "$home"
    if HOME="$home" XDG_CONFIG_HOME= QT_QPA_PLATFORM=offscreen timeout 60 \
      "$r/usr/bin/quillfen-launcher" -s >"$tmp/run.log" 2>&1; then
      [ -f "$home/.config/quillfen/Quillfen.ini" ] || fail "installed program wrote no settings file"
      cmp -s "$home/.config/quillfen/Quillfen.html" "$r/usr/share/quillfen/Quillfen.html" ||
        fail "installed launcher did not place the help page"
    else
      fail "installed launcher failed: $(cat "$tmp/run.log")"
    fi
    if dpkgr -r quillfen-dbgsym quillfen >>"$tmp/dpkg.log" 2>&1; then
      left=$(find "$r" ! -type d ! -path "$r/var/*")
      [ -z "$left" ] && [ ! -e "$r/usr/bin" ] || fail "files left after removal: $left"
    else
      fail "dpkg -r failed: $(cat "$tmp/dpkg.log")"
    fi
  else
    fail "dpkg -i into a scratch root failed: $(cat "$tmp/dpkg.log")"
  fi
fi

if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" "$dbgsym" >"$tmp/lintian.log" 2>&1 ||
    fail "lintian reports errors: $(cat "$tmp/lintian.log")"
  cat "$tmp/lintian.log"
else
  echo "note: lintian missing, packages not checked by it"
fi
finish
