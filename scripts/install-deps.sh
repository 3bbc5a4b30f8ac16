#!/usr/bin/env bash
# Installs the Debian packages Quillfen needs to build and test, if any are missing.
# Usage: scripts/install-deps.sh [extra-package-group ...]
#   groups: bench (rsync, hyperfine, time, python3), fuzz (clang, libclang-rt-14-dev),
#           format (clang-format, git),
#           screenshots (xvfb, imagemagick, x11-apps, xdotool)
# Idempotent: does nothing when everything is installed. As root it runs apt-get;
# otherwise it prints the exact command to run as root (with sudo where it is
# installed, and with su) and exits with status 1.
set -euo pipefail

# xvfb and libx11-dev: the window-title test reads the titles from a real X server.
# qt6-translations-l10n: Qt's own dialogs in Japanese. xdg-utils: the help page
# opens in the browser. dbus-daemon: the notification tests' private bus.
# binutils and appstream: the installation test checks the program is stripped and
# validates the AppStream metadata. dpkg-dev and lintian: a test builds the Debian
# package and checks it.
# fuse3 to mount (losetup): the runs onto FAT, exFAT and NTFS volumes mounted through FUSE.
# python3, e2fsprogs, xfsprogs and btrfs-progs: the power-cut test makes, clones and
# checks ext4, xfs and btrfs images.
# openssh-server, openssh-client and sshfs, samba and smbnetfs, rclone and davfs2: the
# runs onto network shares (SFTP, SMB, WebDAV) served on 127.0.0.1 and mounted through
# FUSE; each test starts its own server with a private configuration.
packages=(cmake g++ make ninja-build pkg-config qt6-base-dev libgtest-dev libgmock-dev
  fonts-ipafont-gothic desktop-file-utils xvfb libx11-dev qt6-translations-l10n xdg-utils
  dbus-daemon dpkg-dev binutils appstream lintian
  fuse3 fusefat exfat-fuse exfatprogs ntfs-3g dosfstools mount
  python3 e2fsprogs xfsprogs btrfs-progs
  openssh-server openssh-client sshfs samba smbnetfs rclone davfs2)
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
  install="apt-get install -y --no-install-recommends ${missing[*]}"
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root, then run the same make command again:" >&2
  if command -v sudo >/dev/null 2>&1; then
    echo "  sudo apt-get update && sudo $install" >&2
  fi
  echo "  su -c 'apt-get update && $install'" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Servers among the packages (sshd, smbd) are not started by their install: the
# tests run their own, on 127.0.0.1. Where the machine has no policy of its own
# for that, one refuses every start for the length of the install.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
if [[ $own_policy -eq 1 ]]; then
  rm -f "$policy"
  trap - EXIT
fi
# Nor do they start at the next boot, when it was this install that brought them.
for p in "${missing[@]}"; do
  case "$p" in
    openssh-server) services=(ssh) ;;
    samba) services=(smbd nmbd samba-ad-dc) ;;
    *) continue ;;
  esac
  for s in "${services[@]}"; do
    if [[ -d /run/systemd/system ]]; then
      systemctl disable --now "$s" >/dev/null 2>&1 || true
    elif [[ -e /etc/init.d/$s ]]; then
      update-rc.d "$s" disable >/dev/null 2>&1 || true
    fi
  done
done
