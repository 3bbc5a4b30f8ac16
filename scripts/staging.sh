# Sourced by the scripts that install into a staging folder (the install test,
# make-deb.sh). `staging_begin BUILD` makes the temporary folder $tmp and keeps
# a copy of BUILD's install manifest: the staging installation overwrites it,
# and the one of the last real installation is put back when the script ends,
# so that `make uninstall` still removes what `make install` installed. $tmp
# goes at the end too.
staging_begin() {
  tmp=$(mktemp -d)
  staging_manifest="$1/install_manifest.txt"
  if [ -f "$staging_manifest" ]; then cp -p "$staging_manifest" "$tmp/install_manifest.saved"; fi
  trap staging_end EXIT
  trap 'exit 1' HUP INT TERM
}

staging_end() {
  if [ -f "$tmp/install_manifest.saved" ]; then
    cp -p "$tmp/install_manifest.saved" "$staging_manifest"
  else
    rm -f "$staging_manifest"
  fi
  rm -rf "$tmp"
}
