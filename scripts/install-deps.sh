#!/usr/bin/env bash
# Installs the Debian packages Quillfen needs to build and test, if any are missing.
# Usage: scripts/install-deps.sh [extra-package-group ...]
#   groups: bench (rsync, hyperfine, time, python3), fuzz (clang, libclang-rt-14-dev),
#           format (clang-format, git),
#           screenshots (xvfb, imagemagick, x11-apps, xdotool)
# Idempotent: does nothing when everything is installed. As root it runs apt-get;
# otherwise it prints the exact command to run and exits with status 1.
set -euo pipefail

# xvfb and libx11-dev: the window-title test reads the titles from a real X server.
# fuse3 to mount (losetup): the runs onto FAT, exFAT and NTFS volumes mounted through FUSE.
packages=(cmake g++ make ninja-build pkg-config qt6-base-dev libgtest-dev libgmock-dev
  fonts-ipafont-gothic desktop-file-utils xvfb libx11-dev
  fuse3 fusefat exfat-fuse exfatprogs ntfs-3g dosfstools mount)
for group in "$@"; do
  case "$group" in
    bench) packages+=(rsync hyperfine time python3) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    asan) packages+=(libclang-rt-14-dev) ;;
    format) packages+=(clang-format git) ;;
    screenshots) packages+=(xvfb xauth imagemagick x11-apps xdotool) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run: sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
