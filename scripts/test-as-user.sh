#!/usr/bin/env bash
# Runs the whole test suite as an unprivileged user (default: nobody), as root
# would not see what only an ordinary user meets: tests that depend on root's
# powers, files root may read anyway. Copies the checkout's tracked and
# untracked-but-not-ignored files into a fresh folder that user owns, and runs
# `make test` there. Needs root (to switch users); the Debian packages must
# already be installed (make test as root does that).
# Usage: scripts/test-as-user.sh [user]
set -euo pipefail
cd "$(dirname "$0")/.."
user=${1:-nobody}
if [[ $(id -u) -ne 0 ]]; then
  echo "test-as-user: not root, so the tests already ran unprivileged; nothing to do" >&2
  exit 0
fi
group=$(id -gn "$user")
work=$(mktemp -d /var/tmp/quillfen-tests-as-$user.XXXXXX)
trap 'rm -rf "$work"' EXIT
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$work"
mkdir "$work/.home"
chown -R "$user:$group" "$work"
echo "test-as-user: make test as $user in $work"
setpriv --reuid="$user" --regid="$group" --clear-groups --reset-env \
  env HOME="$work/.home" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
  make -C "$work" test
