#!/bin/sh
# Removes the files an installation put in place, as listed in the install
# manifest CMake wrote for it (one path per line, below $DESTDIR when the
# installation was made with a DESTDIR, which the manifest leaves out), then the
# folders of Quillfen's own that this leaves empty: a folder named quillfen and
# the folders below it (share/doc/quillfen/examples). Folders shared with
# other programs (bin, share/applications, ...) are left alone.
# Usage: uninstall.sh MANIFEST
set -u
manifest=${1:?usage: uninstall.sh MANIFEST}
if [ ! -f "$manifest" ]; then
  echo "uninstall: no install manifest at $manifest (nothing installed from this build?)" >&2
  exit 1
fi

status=0
# The manifest's last line has no line end.
while IFS= read -r path || [ -n "$path" ]; do
  [ -n "$path" ] || continue
  path="${DESTDIR:-}$path"
  if [ -e "$path" ] || [ -L "$path" ]; then
    if rm -f -- "$path"; then
      echo "Removed: $path"
    else
      status=1
    fi
  fi
  # The empty folders from the file's own up to the last one named quillfen.
  dir=$(dirname -- "$path")
  top=$(printf '%s\n' "$dir" | sed -n 's|^\(.*/quillfen\)\(/.*\)\{0,1\}$|\1|p')
  [ -n "$top" ] || continue
  while [ -d "$dir" ] && rmdir -- "$dir" 2>/dev/null; do
    echo "Removed: $dir"
    [ "$dir" = "$top" ] && break
    dir=$(dirname -- "$dir")
  done
done <"$manifest"
exit $status
