#!/bin/sh
# Installs the build (stripped, as `make install` does) into a temporary
# DESTDIR and checks the installed files, then runs the installed launcher:
# first with a stand-in for the program in a moved copy of the installation,
# then with the real program in unattended mode. Last, the uninstall script
# removes the installation again by the install manifest.
# Usage: install_test.sh BUILD_DIR PREFIX BINDIR DATADIR MANDIR APPSTREAM_ID UNINSTALL_SCRIPT
set -u
build=$1 prefix=$2 bindir=$3 datadir=$4 mandir=$5 appstream_id=$6 uninstall=$7

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check_file() { [ -f "$1" ] || fail "missing installed file $1"; }
# Every line of $1 must be a line of $2, ignoring comments and empty lines.
lines_within() {
  grep -v -e '^#' -e '^$' "$1" | while IFS= read -r line; do
    grep -Fxq -- "$line" "$2" || echo "$line"
  done
}

. "$(dirname "$0")/../scripts/staging.sh"
staging_begin "$build"
manifest="$build/install_manifest.txt"
dest="$tmp/dest"
root="$dest$prefix"

if ! DESTDIR="$dest" cmake --install "$build" --strip >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  fail "cmake --install into DESTDIR failed"
  exit 1
fi

# What must arrive, and where.
bin="$root/$bindir"
share="$root/$datadir"
for f in "$bin/quillfen" "$bin/quillfen-launcher" "$share/applications/quillfen.desktop" \
  "$share/icons/hicolor/scalable/apps/quillfen.svg" "$share/quillfen/Quillfen.html" \
  "$root/$mandir/man1/quillfen.1" "$root/$mandir/man1/quillfen-launcher.1" \
  "$share/doc/quillfen/examples/quillfen.service" "$share/doc/quillfen/examples/quillfen.timer" \
  "$share/metainfo/$appstream_id.metainfo.xml"; do
  check_file "$f"
done
[ -x "$bin/quillfen-launcher" ] || fail "the launcher is not executable"
# Installed stripped: without debug information or symbol table.
for section in .debug_info .symtab; do
  readelf -S -W "$bin/quillfen" | grep -q " $section " && fail "installed program keeps $section"
done
if grep -rl '@[A-Z_]*@' "$dest" | grep -v '/bin/quillfen$'; then
  fail "unsubstituted placeholders in the files above"
fi

# The menu entry: names, icon, category, and an Exec that names the installed launcher.
desktop="$share/applications/quillfen.desktop"
for line in '[Desktop Entry]' 'Type=Application' 'Name=Quillfen' 'Icon=quillfen' \
  'Categories=Utility;' "Exec=$prefix/$bindir/quillfen-launcher"; do
  grep -Fxq -- "$line" "$desktop" || fail "desktop entry lacks the line '$line'"
done
for key in 'Name\[ja\]' 'Comment' 'Comment\[ja\]'; do
  grep -q "^$key=." "$desktop" || fail "desktop entry lacks $key"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the entry"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$share/metainfo/$appstream_id.metainfo.xml" >"$tmp/appstream.log" 2>&1 ||
    fail "appstreamcli rejects the metadata: $(cat "$tmp/appstream.log")"
fi
if command -v xmllint >/dev/null; then
  xmllint --noout "$share/icons/hicolor/scalable/apps/quillfen.svg" || fail "icon is not well-formed XML"
fi
iconv -f UTF-8 -t UTF-8 "$share/quillfen/Quillfen.html" >/dev/null || fail "help page is not UTF-8"
if command -v groff >/dev/null; then
  warnings=$(groff -k -man -Tutf8 -ww -z "$root/$mandir/man1/quillfen.1" 2>&1)
  [ -z "$warnings" ] || fail "manual page warnings: $warnings"
fi
# As man shows it: in a UTF-8 locale with the Japanese keys, and in the C
# locale whole (the keys spelled out) and without troff's complaints.
if command -v man >/dev/null && command -v preconv >/dev/null; then
  page="$root/$mandir/man1/quillfen.1"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" >"$tmp/man.utf8" 2>"$tmp/man.utf8.err"
  grep -q 'コピー元' "$tmp/man.utf8" || fail "manual page in UTF-8 lacks the key コピー元"
  [ -s "$tmp/man.utf8.err" ] && fail "man in UTF-8 complains: $(cat "$tmp/man.utf8.err")"
  LC_ALL=C LANG=C MANWIDTH=80 man -l "$page" >"$tmp/man.c" 2>"$tmp/man.c.err"
  tr -s ' \n' '  ' <"$tmp/man.c" | grep -q 'U+30B3 U+30D4 U+30FC U+5143 (kopi-moto)' ||
    fail "manual page in the C locale drops the key names: $(grep -A3 Settings "$tmp/man.c")"
  [ -s "$tmp/man.c.err" ] && fail "man in the C locale complains: $(cat "$tmp/man.c.err")"
else
  echo "install_test: man or preconv missing, the manual page is not rendered as man shows it"
fi

# The examples run the installed launcher (which picks the settings folder), and the help
# page shows them as they are installed (with the default prefix).
examples="$share/doc/quillfen/examples"
grep -Fxq "ExecStart=$prefix/$bindir/quillfen-launcher -s" "$examples/quillfen.service" ||
  fail "service does not run the installed launcher with -s"
grep -q '^WorkingDirectory=' "$examples/quillfen.service" &&
  fail "service sets its own folder instead of the launcher's settings folder"
sed "s|^ExecStart=$prefix/$bindir/|ExecStart=/usr/local/bin/|" "$examples/quillfen.service" \
  >"$tmp/service.default"
sed 's|^<pre>||; s|</pre>$||' "$share/quillfen/Quillfen.html" >"$tmp/help.txt"
missing=$(lines_within "$tmp/service.default" "$tmp/help.txt")
[ -z "$missing" ] || fail "help page does not show these service lines: $missing"
missing=$(lines_within "$examples/quillfen.timer" "$tmp/help.txt")
[ -z "$missing" ] || fail "help page does not show these timer lines: $missing"

# The launcher, moved with the whole installation to another place, with a
# stand-in program that records where it ran and what it was given.
moved="$tmp/moved tree"
mkdir -p "$moved"
cp -R "$root/." "$moved/"
cat >"$moved/$bindir/quillfen" <<'FAKE'
#!/bin/sh
{ pwd -P; for a in "$@"; do echo "arg:$a"; done; } >"$RECORD"
exit 7
FAKE
chmod +x "$moved/$bindir/quillfen"

home="$tmp/home"
mkdir -p "$home"
RECORD="$tmp/record1" HOME="$home" XDG_CONFIG_HOME= "$moved/$bindir/quillfen-launcher" -s 'two words'
status=$?
config="$home/.config/quillfen"
[ "$status" -eq 7 ] || fail "launcher exit status $status, not the program's 7"
[ -d "$config" ] || fail "launcher did not create $config"
cmp -s "$config/Quillfen.html" "$share/quillfen/Quillfen.html" ||
  fail "launcher did not place the installed help page in $config"
printf '%s\narg:-s\narg:two words\n' "$(cd "$config" && pwd -P)" >"$tmp/expected1"
cmp -s "$tmp/record1" "$tmp/expected1" || fail "program did not run in $config with the arguments: $(cat "$tmp/record1" 2>/dev/null)"

# XDG_CONFIG_HOME is honoured, and a help page the user already has is kept.
xdg="$tmp/xdg config"
mkdir -p "$xdg/quillfen"
echo 'my own notes' >"$xdg/quillfen/Quillfen.html"
RECORD="$tmp/record2" HOME="$home" XDG_CONFIG_HOME="$xdg" "$moved/$bindir/quillfen-launcher"
[ "$(head -n 1 "$tmp/record2" 2>/dev/null)" = "$(cd "$xdg/quillfen" && pwd -P)" ] ||
  fail "program did not run in \$XDG_CONFIG_HOME/quillfen"
[ "$(cat "$xdg/quillfen/Quillfen.html")" = 'my own notes' ] || fail "launcher replaced the user's help page"

# The real installed program through the launcher: an unattended run with no
# sets ends by itself and leaves its settings file in the settings folder.
realhome="$tmp/real home"
mkdir -p "$realhome"
if HOME="$realhome" XDG_CONFIG_HOME= QT_QPA_PLATFORM=offscreen timeout 60 \
  "$bin/quillfen-launcher" -s >"$tmp/real.log" 2>&1; then
  [ -f "$realhome/.config/quillfen/Quillfen.ini" ] ||
    fail "unattended run did not write Quillfen.ini in the settings folder"
  [ -f "$realhome/Quillfen.ini" ] && fail "unattended run wrote Quillfen.ini outside the settings folder"
else
  fail "unattended run through the launcher failed: $(cat "$tmp/real.log")"
fi

# Uninstalling by the manifest removes every installed file (so the manifest
# lists them all) and the folders of the program's own, and keeps the shared
# folders.
if DESTDIR="$dest" sh "$uninstall" "$manifest" >"$tmp/uninstall.log" 2>&1; then
  left=$(find "$dest" ! -type d)
  [ -z "$left" ] || fail "uninstall left $left"
  for d in "$share/quillfen" "$share/doc/quillfen"; do
    [ -e "$d" ] && fail "uninstall left the folder $d"
  done
  [ -d "$bin" ] && [ -d "$share/applications" ] || fail "uninstall removed shared folders"
else
  fail "uninstall failed: $(cat "$tmp/uninstall.log")"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installation checks passed"
