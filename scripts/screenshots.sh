#!/usr/bin/env bash
# Takes the README's screenshots: runs the real program under Xvfb in a
# scratch folder with a sample settings file and sample folder trees, selects a
# backup set, opens the comparison window, compares, and saves PNG pictures of
# the main window and the comparison window.
# Usage: scripts/screenshots.sh PATH/TO/quillfen [OUTPUT_DIR]   (default docs/)
# Needs: xvfb-run, xdotool, ImageMagick's import (scripts/install-deps.sh screenshots).
set -euo pipefail

if [[ "${1:-}" == "--inside" ]]; then
  inside=1
  shift
else
  inside=0
fi
program=$(readlink -f -- "${1:?usage: screenshots.sh PATH/TO/quillfen [OUTPUT_DIR]}")
out=$(mkdir -p -- "${2:-docs}" && cd -- "${2:-docs}" && pwd)

# The sample lives under a short, stable path, because the paths appear in the pictures.
demo=/tmp/quillfen-demo

if [[ $inside -eq 0 ]]; then
  for tool in xvfb-run xdotool import; do
    command -v "$tool" >/dev/null || {
      echo "screenshots: $tool is missing (scripts/install-deps.sh screenshots)" >&2
      exit 1
    }
  done
  rm -rf -- "$demo"
  trap 'rm -rf -- "$demo"' EXIT

  # Sample trees: the first set's destination lacks some files and holds one
  # that the source no longer has, so the comparison selects on both sides.
  src="$demo/home/写真"
  dst="$demo/backup/写真"
  mkdir -p "$src/2026/旅行" "$src/2026/家族" "$dst/2026/旅行" "$demo/home/書類/見積" \
    "$demo/home/プロジェクト/src" "$demo/work"
  for f in 2026/旅行/京都01.jpg 2026/旅行/京都02.jpg 2026/旅行/京都03.jpg 2026/家族/誕生日.jpg \
    2026/家族/誕生日.mov 2026/メモ.txt 2026/旅行/行程.pdf 編集中.tmp; do
    printf 'sample %s\n' "$f" >"$src/$f"
  done
  for f in 2026/旅行/京都01.jpg 2026/旅行/京都02.jpg 2026/旅行/行程.pdf 2026/旅行/削除済み.jpg; do
    printf 'sample %s\n' "$f" >"$dst/$f"
  done
  printf 'quote\n' >"$demo/home/書類/見積/見積書.txt"
  printf 'int main() {}\n' >"$demo/home/プロジェクト/src/main.cpp"

  # The settings file, as the program writes it: UTF-8 with CR LF line ends.
  {
    printf '[写真]\r\nコピー元=%s\r\nコピー先=%s\r\n終了時刻=2026/12/06 21:30:00\r\n' "$src" "$dst"
    printf '[書類]\r\nコピー元=%s\r\nコピー先=%s\r\n' "$demo/home/書類" "$demo/backup/書類"
    printf '[プロジェクト]\r\nコピー元=%s\r\nコピー先=%s\r\n' \
      "$demo/home/プロジェクト" "$demo/backup/プロジェクト"
    printf '[Main]\r\nオリジナル保存拡張子=.jpg,.png,.raw,\r\n保存対象外拡張子=.bak,.mov,.tmp,\r\n'
  } >"$demo/work/Quillfen.ini"

  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" --inside "$program" "$out"
  echo "screenshots: $out/main-window.png $out/comparison-window.png $out/about-box.png"
  exit 0
fi

# Inside the virtual display.
export QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8
cd "$demo/work"
"$program" >"$demo/program.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

# The first window whose title is exactly $1, waiting for it at most 20 s.
find_window() {
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
    if [[ -n "$id" ]]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  echo "screenshots: no window '$1' appeared" >&2
  cat "$demo/program.log" >&2
  return 1
}
# A visible, named window of the program that is none of the windows listed
# in $1 (a message box or a drop-down menu), waiting for it at most $2 tenths
# of a second (default 50); empty when none.
other_window() {
  local id
  for _ in $(seq "${2:-50}"); do
    # Qt's drop-down menus are not found by a search on their name, so every
    # visible window is looked at; the root window is the one without a name.
    for id in $(xdotool search --onlyvisible --name '.*' 2>/dev/null); do
      [[ " $1 " == *" $id "* ]] && continue
      if [[ -n "$(xdotool getwindowname "$id" 2>/dev/null)" ]]; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.1
  done
}
# Clicks at client coordinates of a window.
click() {
  xdotool mousemove --window "$1" "$2" "$3" click 1
  sleep 0.5
}
# Saves a picture of one window.
grab() {
  sleep 0.7
  import -window "$1" "$2"
}

main=$(find_window Quillfen)
sleep 1
# The main window's controls lie below its menu bar, whose height is what
# exceeds the designed client height of 268.
eval "$(xdotool getwindowgeometry --shell "$main")"
menu=$((HEIGHT - 268))

click "$main" 40 $((menu + 16 + 6))    # first row of the set names: 写真
click "$main" 320 $((menu + 176 + 28)) # an entry of the keep-original list
grab "$main" "$out/main-window.png"

# The about box, from the Help menu: the menu title sits at the left of the menu
# bar, and "バージョン情報" is the first item of the menu that drops down.
# The click is repeated until the menu is open, in case the first one only
# activates the window.
xdotool windowfocus --sync "$main" || true
popup=
for _ in 1 2 3; do
  click "$main" 18 $((menu / 2))
  popup=$(other_window "$main" 10)
  [[ -n "$popup" ]] && break
done
[[ -n "$popup" ]] || { echo "screenshots: the Help menu did not open" >&2; exit 1; }
click "$popup" 40 11
about=$(find_window "Version情報")
grab "$about" "$out/about-box.png"
xdotool windowfocus --sync "$about" key space # presses Close, which has the focus
sleep 0.5

click "$main" $((224 + 32)) $((menu + 176 + 16)) # Fileチェック
compare=$(find_window フォルダの比較)
sleep 1
click "$compare" $((200 + 32)) $((32 + 20)) # 比較選択
# Dismiss the "comparison finished" message box with Return.
box=$(other_window "$main $compare")
if [[ -n "$box" ]]; then
  xdotool windowfocus --sync "$box" key Return
  sleep 0.5
fi
grab "$compare" "$out/comparison-window.png"
# Escape closes the comparison window like its title-bar button.
xdotool windowfocus --sync "$compare" key Escape
sleep 0.5

