#!/bin/sh
# Builds the Debian package quillfen_<version>_<arch>.deb and its debug
# symbols quillfen-dbgsym_<version>_<arch>.deb from a build folder: the build
# is installed under /usr into a staging folder, the program is stripped with
# its debug information split off into a .debug file named by its build id,
# manual pages and the changelog are compressed, the dependencies are read
# from the libraries the program links (dpkg-shlibdeps), and dpkg-deb packs
# both trees owned by root. The version is the project's CMake version, the
# architecture dpkg's. Prints the paths of the two packages.
# Usage: make-deb.sh [--lintian] BUILD_DIR OUT_DIR
#   --lintian  also runs lintian on both packages; an error fails the build.
set -eu

lint=no
if [ "${1:-}" = --lintian ]; then
  lint=yes
  shift
fi
[ $# -eq 2 ] || { echo "usage: make-deb.sh [--lintian] BUILD_DIR OUT_DIR" >&2; exit 2; }
die() {
  echo "make-deb: $*" >&2
  exit 1
}
for tool in dpkg-deb dpkg-shlibdeps dpkg-parsechangelog objcopy readelf strip gzip md5sum; do
  command -v "$tool" >/dev/null || die "$tool is missing (packages dpkg-dev and binutils)"
done

build=$(cd "$1" && pwd -P) || die "no build folder $1"
mkdir -p "$2" && out=$(cd "$2" && pwd -P) || die "cannot make the output folder $2"
source=$(cd "$(dirname "$0")/.." && pwd -P)
packaging="$source/packaging"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $build/CMakeCache.txt (not a configured build folder?)"
arch=$(dpkg --print-architecture)
changelog_version=$(dpkg-parsechangelog -l "$packaging/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
  die "packaging/changelog starts with version $changelog_version, the project is $version: add an entry"
maintainer=$(dpkg-parsechangelog -l "$packaging/changelog" -S Maintainer)

. "$(dirname "$0")/staging.sh"
staging_begin "$build"

# The package trees sit where dpkg-shlibdeps expects them: debian/<package>.
work="$tmp/work"
root="$work/debian/quillfen"
dbgroot="$work/debian/quillfen-dbgsym"
doc="$root/usr/share/doc/quillfen"
umask 022
if ! DESTDIR="$root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  die "cmake --install into the staging folder failed"
fi

# The program without its debug information, which goes to the -dbgsym
# package where debuggers look it up by build id.
program="$root/usr/bin/quillfen"
build_id=$(readelf -n "$program" | sed -n 's/^ *Build ID: *//p')
[ -n "$build_id" ] || die "$program has no build id"
debug_dir="$dbgroot/usr/lib/debug/.build-id/$(echo "$build_id" | cut -c1-2)"
debug_file="$debug_dir/$(echo "$build_id" | cut -c3-).debug"
mkdir -p "$debug_dir"
objcopy --only-keep-debug --compress-debug-sections "$program" "$debug_file"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$program"
objcopy --add-gnu-debuglink="$debug_file" "$program"

# Manual pages compressed; a page that only includes another becomes a link.
for page in "$root"/usr/share/man/man*/*; do
  [ -f "$page" ] || continue
  target=$(sed -n '1s/^\.so  *man[0-9a-z]*\///p' "$page")
  if [ -n "$target" ] && [ "$(wc -l <"$page")" -le 1 ]; then
    rm "$page"
    ln -s "$target.gz" "$page.gz"
  else
    gzip -9n "$page"
  fi
done

install -m 644 "$packaging/copyright" "$doc/copyright"
# A native package (no Debian revision): the changelog is changelog.gz.
gzip -9nc "$packaging/changelog" >"$doc/changelog.gz"
mkdir -p "$root/usr/share/lintian/overrides"
install -m 644 "$packaging/lintian-overrides" "$root/usr/share/lintian/overrides/quillfen"
mkdir -p "$dbgroot/usr/share/doc"
ln -s quillfen "$dbgroot/usr/share/doc/quillfen-dbgsym"

# Dependencies: dpkg-shlibdeps wants a debian/control naming the package,
# and the program in a package tree (one with a DEBIAN folder).
mkdir -p "$root/DEBIAN" "$dbgroot/DEBIAN"
printf 'Source: quillfen\n\nPackage: quillfen\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -edebian/quillfen/usr/bin/quillfen |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || die "dpkg-shlibdeps found no dependencies for $program"

# Sizes in KiB, as dpkg counts them.
installed_size() { du -s -k --apparent-size --exclude=DEBIAN "$1" | cut -f1; }
# Checksums of the package's files, relative to its root.
write_md5sums() {
  (cd "$1" && find . -type f ! -path './DEBIAN/*' | sed 's|^\./||' | LC_ALL=C sort |
    xargs -r -d '\n' md5sum) >"$1/DEBIAN/md5sums"
}

cat >"$root/DEBIAN/control" <<CONTROL
Package: quillfen
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(installed_size "$root")
Depends: $depends
Recommends: fonts-ipafont-gothic, qt6-translations-l10n, xdg-utils
Section: utils
Priority: optional
Homepage: https://quillfen.example.org
Description: keep one-way copies of folders up to date
 Quillfen keeps backup copies of folders. The user defines named backup
 sets, each a source folder and a destination folder. A backup run copies
 every file that is missing at the destination or newer than its copy, at
 most once per 24 hours per set, and never deletes anything at the
 destination. Two lists of file extensions exclude files or keep the first
 copy of them. A comparison window shows a set's two folder trees side by
 side and copies selected files in either direction.
 .
 Unattended runs (quillfen-launcher -s, from cron or the example systemd
 user timer) are silent on success and report every file that could not be
 copied. The user interface is Japanese.
CONTROL
cat >"$dbgroot/DEBIAN/control" <<CONTROL
Package: quillfen-dbgsym
Source: quillfen
Version: $version
Auto-Built-Package: debug-symbols
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(installed_size "$dbgroot")
Depends: quillfen (= $version)
Section: debug
Priority: optional
Description: debug symbols for quillfen
Build-Ids: $build_id
CONTROL
write_md5sums "$root"
write_md5sums "$dbgroot"

# Modes as a package has them, whatever the umask of the build was.
for tree in "$root" "$dbgroot"; do
  find "$tree" -type d -exec chmod 755 {} +
  find "$tree" -type f -exec chmod 644 {} +
done
chmod 755 "$root/usr/bin/quillfen" "$root/usr/bin/quillfen-launcher"

deb="$out/quillfen_${version}_${arch}.deb"
dbgsym="$out/quillfen-dbgsym_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
dpkg-deb --root-owner-group -Zxz --build "$dbgroot" "$dbgsym" >/dev/null
echo "$deb"
echo "$dbgsym"

if [ "$lint" = yes ]; then
  command -v lintian >/dev/null || die "lintian is missing"
  lintian --fail-on error --display-info "$deb" "$dbgsym" >&2 || die "lintian reports errors"
fi
