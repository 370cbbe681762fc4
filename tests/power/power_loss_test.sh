#!/usr/bin/env bash
# Power loss during an update: whole updates run on a disk whose write cache
# is lost when the power goes, and at every point where the disk made its
# cache durable from the swap's start on, the main path must hold a whole
# program, the old one or the new one (and the old one must not be lost: at
# the main path or at its backup); after a successful update the final state
# must hold the whole new program at the main path, and after a rollback the
# whole old one.
#
# The disk: tests/power/volatile_disk.cpp serves an image through FUSE, a
# loop device sits on it, and ext4 on that, mounted noauto_da_alloc (without
# ext4's rescue of files replaced by truncation, as on NTFS). Each run:
# install the old and the new version, make that durable, update, let a
# neighbour program fsync a file of its own (which commits the journal), cut
# the power, then rebuild the disk as of each flush point, mount it (a copy,
# so that the journal is replayed) and look at the files.
#
# Runs: the native program, a success and a rollback after a missing download
# (the "cannot replace" error), and Veltrin.exe under Wine, a success.
#
# Usage: tests/power/power_loss_test.sh HOST_BUILD [WIN_BUILD]
#   WIN_BUILD is build/win32 or build/win64: the Windows build whose
#   Veltrin.exe runs under Wine (the one this host can run), e.g.
#   tests/power/power_loss_test.sh build/host build/win64
#   Without it only the native runs are made (ctest runs them so).
# Exits 0 when every flush point of every run kept a whole program at the
# main path and the old one, 1 when one did not or a run went wrong, 77 (skipped) without root, /dev/fuse, loop
# devices or ext4.
set -euo pipefail

if [ "$#" -lt 1 ] || [ "$#" -gt 2 ]; then
  echo "usage: $0 HOST_BUILD [WIN_BUILD]" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/../.." && pwd)
host=$(cd "$1" && pwd)
win=
[ "$#" -eq 1 ] || win=$(cd "$2" && pwd)
export LC_ALL=C

skip() {
  echo "SKIP power-loss test: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root, for loop devices and mounts"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -c /dev/loop-control ] || skip "no loop devices (/dev/loop-control)"
for tool in losetup mkfs.ext4 fusermount3 mountpoint; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
grep -qw ext4 /proc/filesystems || modprobe ext4 2>/dev/null || skip "the kernel has no ext4"
losetup -f >/dev/null 2>&1 || skip "no free loop device"

disk_tool=$host/tests/power/volatile_disk
native=$host/veltrin
exe=$win/Veltrin.exe
needed=("$disk_tool" "$native" "$host/fixtures/product_v1" "$host/fixtures/product_v2")
[ -z "$win" ] || needed+=("$exe" "$win/fixtures/product_v1.exe" "$win/fixtures/product_v2.exe")
for file in "${needed[@]}"; do
  if [ ! -f "$file" ]; then
    echo "power-loss test: $file is missing; build the host and Windows presets first" >&2
    exit 1
  fi
done

started_at=$EPOCHREALTIME
work=$(mktemp -d /tmp/veltrin-power.XXXXXX)
mounts=()
loops=()
fuse_mount=
disk_pid=

# Ends the native products started from `folder` (the stand-ins stay up for
# minutes and would keep the file system busy).
kill_products_in() {
  local folder=$1 link pid
  for link in /proc/[0-9]*/exe; do
    pid=${link#/proc/}
    pid=${pid%/exe}
    case "$(readlink "$link" 2>/dev/null)" in
      "$folder"/*) kill -KILL "$pid" 2>/dev/null || true ;;
    esac
  done
}

# Unmounts `folder`, waiting a while for the programs that still use it.
unmount() {
  local folder=$1
  for _ in $(seq 100); do
    mountpoint -q "$folder" || return 0
    umount "$folder" 2>/dev/null && return 0
    # Looking through every process takes a while: only for a busy folder.
    kill_products_in "$folder"
    sleep 0.1
  done
  umount -l "$folder" 2>/dev/null || true
  echo "power-loss test: $folder stayed busy; detached it lazily" >&2
}

# Takes down what the current run set up, the newest first: mounts, loop
# devices, the FUSE disk.
take_down() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    unmount "${mounts[i]}"
  done
  mounts=()
  for ((i = ${#loops[@]} - 1; i >= 0; i--)); do
    losetup -d "${loops[i]}" 2>/dev/null || true
  done
  loops=()
  if [ -n "$fuse_mount" ]; then
    fusermount3 -u "$fuse_mount" 2>/dev/null || umount -l "$fuse_mount" 2>/dev/null || true
    fuse_mount=
  fi
  if [ -n "$disk_pid" ]; then
    kill "$disk_pid" 2>/dev/null || true
    wait "$disk_pid" 2>/dev/null || true
    disk_pid=
  fi
}
cleanup() {
  take_down
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Attaches a loop device to $1, mounts it at $2 with options $3 and notes
# both for take_down.
mount_image() {
  local loop
  loop=$(losetup -f --show "$1") || return 1
  loops+=("$loop")
  mkdir -p "$2"
  mount -t ext4 -o "$3" "$loop" "$2" || return 1
  mounts+=("$2")
}

flush_count() {
  local line
  line=$(cat "$fuse_mount/control")
  echo "${line#flushes }"
}

# The file system, made once; every run starts its disk from a copy.
truncate -s 64M "$work/empty.img"
mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0,nodiscard "$work/empty.img"

failures=0
violations=0
report=()
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# What `file` holds, in words, for a failure message.
describe() {
  local file=$1
  if [ ! -e "$file" ]; then
    echo missing
  elif cmp -s "$file" "$old"; then
    echo "the old program"
  elif [ -n "$new" ] && cmp -s "$file" "$new"; then
    echo "the new program"
  else
    echo "$(stat -c %s "$file") bytes, neither program"
  fi
}

# check_point RUN K LAST EXPECTED_FINAL: mounts a copy of the rebuilt image
# as of flush point K and checks it.
check_point() {
  local name=$1 k=$2 last=$3 final=$4 dir=$run/check
  cp --sparse=always "$run/state.img" "$run/check.img"
  if ! mount_image "$run/check.img" "$dir" rw 2>"$run/mount-errors.txt"; then
    fail "$name, flush point $k of $last: the file system does not mount: $(cat "$run/mount-errors.txt")"
    take_down
    return
  fi
  local main=$dir/app/app.exe backup=$dir/app/app.exe.bak
  if ! cmp -s "$main" "$old" && ! { [ -n "$new" ] && cmp -s "$main" "$new"; }; then
    violations=$((violations + 1))
    fail "$name, flush point $k of $last: app.exe holds no whole program" \
      "(app.exe: $(describe "$main"); app.exe.bak: $(describe "$backup"))"
  fi
  if ! cmp -s "$main" "$old" && ! cmp -s "$backup" "$old"; then
    fail "$name, flush point $k of $last: the old program is lost" \
      "(app.exe: $(describe "$main"); app.exe.bak: $(describe "$backup"))"
  fi
  if [ "$k" -eq "$last" ] && ! cmp -s "$main" "$final"; then
    fail "$name, final state (flush point $k): app.exe is $(describe "$main")," \
      "not $( [ "$final" = "$old" ] && echo "the old" || echo "the new") program"
  fi
  take_down
}

# run_update NAME KIND: KIND is native-success, native-rollback or
# wine-success.
run_update() {
  local name=$1 kind=$2 run_started=$EPOCHREALTIME
  run=$work/$kind
  mkdir -p "$run/fuse" "$run/mnt"
  local mnt=$run/mnt
  cp --sparse=always "$work/empty.img" "$run/disk.img"
  "$disk_tool" serve "$run/disk.img" "$run/flushes.log" "$run/fuse" &
  disk_pid=$!
  fuse_mount=$run/fuse
  for _ in $(seq 100); do
    [ -e "$run/fuse/disk.img" ] && break
    sleep 0.05
  done
  if [ ! -e "$run/fuse/disk.img" ]; then
    echo "power-loss test: the FUSE disk did not come up" >&2
    exit 1
  fi
  mount_image "$run/fuse/disk.img" "$mnt" noauto_da_alloc

  # The product as installed, and its download.
  local v1 v2 main=$mnt/app/app.exe download=$mnt/download/app.exe
  case $kind in
    native-*) v1=$host/fixtures/product_v1 v2=$host/fixtures/product_v2 ;;
    wine-*) v1=$win/fixtures/product_v1.exe v2=$win/fixtures/product_v2.exe ;;
  esac
  old=$v1
  new=
  mkdir -p "$mnt/app" "$mnt/download"
  cp "$v1" "$main"
  if [ "$kind" != native-rollback ]; then
    cp "$v2" "$download"
    new=$v2
  fi
  sync -f "$mnt"
  local first
  first=$(flush_count)

  local status=0 started=v2 final=$v2
  case $kind in
    native-*)
      [ "$kind" = native-rollback ] && started=v1 final=$v1
      (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$work/runtime" \
        timeout 60 "$native" "$main?$download" 2>"$run/errors.txt") || status=$?
      ;;
    wine-success)
      # Space-free paths, unquoted: Wine would escape the quotes.
      local wmain wdownload
      wmain="Z:${main//\//\\}"
      wdownload="Z:${download//\//\\}"
      # shellcheck disable=SC2016 # expanded by the inner shell
      (cd "$repo" && timeout 120 scripts/with-wine bash -c '
        wine "$1" "$2" </dev/null >/dev/null 2>&1
        status=$?
        # The new version is seen running before it has written its line.
        for _ in $(seq 100); do
          grep -q "^v2 " "$3" 2>/dev/null && break
          sleep 0.1
        done
        exit $status' _ "$exe" "$wmain?$wdownload" "$mnt/app/product.log") || status=$?
      # Cut short, with-wine leaves the prefix's programs running, and they
      # would keep the disk busy.
      [ "$status" -eq 0 ] || WINEPREFIX="$repo/build/wineprefix" wineserver -k 2>/dev/null || true
      ;;
  esac
  for _ in $(seq 100); do
    grep -q "^$started " "$mnt/app/product.log" 2>/dev/null && break
    sleep 0.1
  done
  kill_products_in "$mnt"

  # The update itself must have done its work, or the points prove nothing.
  local problem=
  if [ "$status" -ne 0 ]; then
    problem="it exited with $status"
  elif ! grep -q "^$started " "$mnt/app/product.log" 2>/dev/null; then
    problem="$started was not started"
  elif ! cmp -s "$main" "$final"; then
    problem="app.exe is $(describe "$main") before the power cut"
  elif ! cmp -s "$main.bak" "$v1"; then
    problem="app.exe.bak is $(describe "$main.bak") before the power cut"
  elif [ "$kind" = native-rollback ] &&
    ! grep -q "升级失败，无法替换新版本的主程序。" "$run/errors.txt"; then
    problem="the user was not told that the new version could not be put in place"
  fi
  if [ -n "$problem" ]; then
    fail "$name: the update went wrong: $problem"
    take_down
    return
  fi

  # A neighbour's fsync commits the journal with whatever metadata the
  # update left pending; then the power goes.
  echo neighbour >"$mnt/neighbour.txt"
  sync "$mnt/neighbour.txt"
  echo cut >"$run/fuse/control"
  local last
  last=$(flush_count)
  take_down

  # The disk as of each flush point from the swap's start (the durable state
  # it started from) to the last.
  cp --sparse=always "$work/empty.img" "$run/state.img"
  "$disk_tool" replay "$run/flushes.log" "$run/state.img" 0 "$first"
  local k before=$failures violated=$violations
  for ((k = first; k <= last; k++)); do
    [ "$k" -eq "$first" ] || "$disk_tool" replay "$run/flushes.log" "$run/state.img" $((k - 1)) "$k"
    check_point "$name" "$k" "$last" "$final"
  done
  local points=$((last - first + 1))
  report+=("$(printf '%-24s flush points %d to %d (%d checked), %.1f s: %d without a whole app.exe; %s' \
    "$name" "$first" "$last" "$points" \
    "$(awk -v a="$run_started" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')" \
    $((violations - violated)) \
    "$([ "$failures" -eq "$before" ] && echo "the programs were kept" || echo FAILED)")")
  rm -f "$run/state.img" "$run/check.img" "$run/disk.img"
}

mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
run_update "native, success" native-success
run_update "native, rollback (M2)" native-rollback
[ -z "$win" ] || run_update "Veltrin.exe under Wine" wine-success

echo
printf '%s\n' "${report[@]}"
awk -v a="$started_at" -v b="$EPOCHREALTIME" 'BEGIN { printf "power-loss test: %.1f s\n", b - a }'
if [ "$failures" -ne 0 ]; then
  echo "power-loss test: $failures failure(s), $violations flush point(s) without a whole app.exe"
  exit 1
fi
echo "power-loss test: every flush point kept a whole program at app.exe, and the old one"
