#!/usr/bin/env bash
# The channel soak: COUNT notifications of mixed classes (opens for read,
# write, create and folders, renames, image loads, process starts and ends,
# the other reply kinds) played by four players at once through the driver
# stand-in to zvorx built with a sanitizer, while a fifth loop sends configuration
# commands over RPC (zvorxctl). zvorx's RSS is sampled every second. Ends by
# itself: when the players are done, or after SOAK_TIMEOUT seconds
# (default 3600), it unloads the driver and waits for zvorx to stop.
#
#   scripts/soak.sh tsan|asan|plain [COUNT]      (COUNT defaults to 100000)
#
# Builds (incrementally) zvorx, zvorx-driver, zvorxctl and zvmachine in
# build-tsan, build-asan or, for plain (no sanitizer: the memory figure
# without the sanitizer's own memory), build (ZV_BUILD_DIR overrides), on a
# throw-away machine under /tmp that it removes unless SOAK_KEEP=1. Exit
# status 0 when no sanitizer reported anything, every event was delivered
# and zvorx stopped on its own; 1 otherwise (the reports are printed).
set -euo pipefail
kind=${1:-}
count=${2:-100000}
case $kind in tsan | asan | plain) ;; *) echo "usage: $0 tsan|asan|plain [count]" >&2; exit 2 ;; esac
[[ $count =~ ^[0-9]+$ ]] && ((count >= 4)) || { echo "count must be a number of at least 4" >&2; exit 2; }
limit=${SOAK_TIMEOUT:-3600}
root=$(cd "$(dirname "$0")/.." && pwd)
case $kind in
  plain) build=${ZV_BUILD_DIR:-$root/build} ;;
  *) build=${ZV_BUILD_DIR:-$root/build-$kind} ;;
esac

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  sanitizer=()
  [ "$kind" = plain ] || sanitizer=(-DZV_${kind^^}=ON -DZV_BENCH=OFF)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${sanitizer[@]}" "${launcher[@]}" >/dev/null
fi
# SOAK_NO_BUILD=1: the programs are built already (the ctest run).
[ "${SOAK_NO_BUILD:-0}" = 1 ] || cmake --build "$build" --target zvorx zvorx-driver zvorxctl zvmachine -j2 >/dev/null

bin=$build/bin
work=$(mktemp -d /tmp/zv-soak.XXXXXX)
export ZV_MACHINE=$work/machine
export ZV_BIN_DIR=$bin
export ZV_TIME_SCALE=10
reports=$work/reports
mkdir -p "$reports"
# Every program of the run (zvorx, the driver it loads, the players and
# zvorxctl) writes its reports to files of its own, named by pid.
if [ "$kind" = plain ]; then
  :
elif [ "$kind" = tsan ]; then
  export TSAN_OPTIONS="log_path=$reports/tsan die_after_fork=0 halt_on_error=0 second_deadlock_stack=1"
else
  export ASAN_OPTIONS="log_path=$reports/asan detect_leaks=1 abort_on_error=0"
  export UBSAN_OPTIONS="log_path=$reports/ubsan print_stacktrace=1"
fi

zvorx_pid=
cleanup() {
  [ -n "$zvorx_pid" ] && kill "$zvorx_pid" 2>/dev/null || true
  "$bin/zvorx-driver" unload >/dev/null 2>&1 || true
  "$bin/zvmachine" boot >/dev/null 2>&1 || true
  [ "${SOAK_KEEP:-0}" = 1 ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# ---- The machine: alice's protected documents, a closed and a read-only folder.
"$bin/zvmachine" create "$ZV_MACHINE" >/dev/null
"$bin/zvmachine" install >/dev/null
"$bin/zvmachine" user add alice >/dev/null
drive=$ZV_MACHINE/volumes/C
for d in 0 1 2 3 4 5 6 7; do
  mkdir -p "$drive/Users/alice/Documents/p$d" "$drive/Users/bob/b$d" "$drive/Data/d$d"
  for f in 0 1 2 3 4; do
    echo "doc $d.$f" >"$drive/Users/alice/Documents/p$d/f$f.txt"
    echo "data $d.$f" >"$drive/Data/d$d/f$f.txt"
  done
done
mkdir -p "$drive/Users/Public/Templates" && echo template >"$drive/Users/Public/Templates/t.dot"
"$bin/zvmachine" setting set driver.ReplyTimeoutMs 30000 >/dev/null

commands=$work/soak.commands
cat >"$commands" <<'EOF'
i 0 MAIN_ENGINE_SETLOG 0x1
s 9 BE_ADD_PROTECTPATH C:\Users\alice\Documents
s 9 BE_ADD_FREEPATH C:\Users\alice\Documents\p7
s 9 BE_SET_BACKUPPATH c:\qd\r
s 9 BE_SET_DELETELOG c:\qd\deletelog.dat
i 9 BE_SET_ENGINEWORK 1
i 2 AC_SET_EXCUTECONTROL 2
i 2 AC_SET_INSTALLCONTROL 1
s 2 AC_ADD_EXCUTECONTROL_TARGET "C:\Program Files"
s 2 AC_ADD_EXCUTECONTROL_TARGET C:\Windows
s 2 AC_ADD_PROTECTPATH C:\Users\bob
s 2 AC_ADD_READONLYPATH C:\Users\Public\Templates
i 2 AC_SET_ENGINEWORK 1
EOF
# What the RPC loop sends while the players play: the settings cleared and
# given again, the log level changed.
churn=$work/churn.commands
cat >"$churn" <<'EOF'
i 2 AC_CLEARSETTING 0
s 2 AC_ADD_PROTECTPATH C:\Users\bob
s 2 AC_ADD_READONLYPATH C:\Users\Public\Templates
s 2 AC_ADD_EXCUTECONTROL_TARGET C:\Windows
i 2 AC_SET_EXCUTECONTROL 2
i 0 MAIN_ENGINE_SETLOG 0x3
s 9 BE_ADD_FREEPATH C:\Users\alice\Documents\p7
i 9 BE_CLEARHASH 0
i 0 MAIN_ENGINE_SETLOG 0x1
EOF

# ---- The scenarios: four players, COUNT lines in all, a fixed set of
# processes and paths so that what the engines keep is bounded.
per=$((count / 4))
for p in 0 1 2 3; do
  awk -v n="$per" -v player="$p" 'BEGIN {
    srand(1000 + player)
    for (i = 0; i < n; i++) {
      pid = 3000 + player * 100 + int(rand() * 20)
      d = int(rand() * 8); f = int(rand() * 5); r = rand()
      doc = "C:\\Users\\alice\\Documents\\p" d "\\f" f ".txt"
      if (r < 0.30) print "open " pid " " doc
      else if (r < 0.45) print "open " pid " " doc " access=GENERIC_WRITE"
      else if (r < 0.52) print "open " pid " C:\\Users\\alice\\Documents\\p" d "\\new" f ".txt access=GENERIC_WRITE create"
      else if (r < 0.56) print "open " pid " C:\\Users\\alice\\Documents\\p" d "\\sub" f " access=0x100001 create dir"
      else if (r < 0.64) print "open " pid " C:\\Data\\d" d "\\f" f ".txt access=GENERIC_WRITE"
      else if (r < 0.70) print "open " pid " C:\\Users\\bob\\b" d "\\s" f ".txt"
      else if (r < 0.74) print "open " pid " C:\\Users\\Public\\Templates\\t.dot access=GENERIC_WRITE"
      else if (r < 0.78) print "open " pid " C:\\Windows\\System32\\tool" f ".exe access=0x1000A1"
      else if (r < 0.83) print "rename " pid " " doc " C:\\Users\\alice\\Documents\\p" d "\\r" f ".txt"
      else if (r < 0.88) print "image " pid " C:\\Windows\\System32\\lib" f ".dll"
      else if (r < 0.92) { print "start " pid " 4"; print "exit " pid " 4"; i++ }
      else print "raw " (r < 0.94 ? 5 : r < 0.96 ? 7 : r < 0.98 ? 8 : 10) " " pid " path=\\Device\\HarddiskVolume2\\Data\\d" d
    }
  }' >"$work/player$p.scn"
done

# ---- zvorx, connected and listening.
"$bin/zvorx" >"$work/zvorx-console.log" 2>&1 &
zvorx_pid=$!
for _ in $(seq 1 600); do
  "$bin/zvorx-driver" status 2>/dev/null | grep -q 'client: connected' && break
  sleep 0.1
done
for _ in $(seq 1 600); do
  "$bin/zvorxctl" i 0 NO_SUCH_COMMAND 0 >/dev/null 2>&1 && break
  sleep 0.1
done
"$bin/zvorxctl" run "$commands" >/dev/null

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$zvorx_pid/status" 2>/dev/null || echo 0; }
sent() { "$bin/zvorx-driver" status 2>/dev/null | awk -F': ' '$1 == "messages sent" { print $2 }'; }
echo "soak ($kind): $count notifications by 4 players to zvorx (pid $zvorx_pid), RPC commands meanwhile"
start=$(date +%s)
players=()
for p in 0 1 2 3; do
  timeout "$limit" "$bin/zvorx-driver" play "$work/player$p.scn" >"$work/player$p.out" 2>&1 &
  players+=($!)
done
(
  while :; do "$bin/zvorxctl" run "$churn" >/dev/null 2>&1 || true; sleep 0.2; done
) &
churner=$!
echo "seconds  notifications sent  zvorx RSS (KiB)" >"$work/rss.txt"
while :; do
  running=0
  for pid in "${players[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
  printf '%7d  %18s  %15s\n' $(($(date +%s) - start)) "$(sent)" "$(rss)" >>"$work/rss.txt"
  [ "$running" = 1 ] || break
  sleep 1
done
failed=0
for pid in "${players[@]}"; do wait "$pid" || failed=1; done
kill "$churner" 2>/dev/null; wait "$churner" 2>/dev/null || true
elapsed=$(($(date +%s) - start))

"$bin/zvorx-driver" status | grep -E '^(messages sent|replied|timed out|no reply expected|no client|late replies|reply time):' |
  sed 's/^/  driver /'
"$bin/zvorx-driver" unload >/dev/null
stopped=0
for _ in $(seq 1 600); do
  kill -0 "$zvorx_pid" 2>/dev/null || { stopped=1; break; }
  sleep 0.1
done
wait "$zvorx_pid" 2>/dev/null || true
zvorx_pid=
# A sanitizer's own log name ends in the pid.
sleep 1

echo "  played in ${elapsed} s; RSS of zvorx over the run (every tenth sample):"
awk 'NR == 1 { print "    " $0; next } { line[++n] = $0 } END {
  step = n > 10 ? int(n / 10) : 1
  for (i = 1; i <= n; i += step) print "    " line[i]
  if ((n - 1) % step) print "    " line[n]
}' "$work/rss.txt"
for p in 0 1 2 3; do
  tail -n 1 "$work/player$p.out" | sed "s/^/  player $p: /"
done
status=0
if [ "$failed" = 1 ]; then echo "  a player failed or ran out of time"; status=1; fi
if [ "$stopped" = 0 ]; then echo "  zvorx did not stop after the unload"; status=1; fi
if compgen -G "$reports/*" >/dev/null; then
  echo "  sanitizer reports:"
  for f in "$reports"/*; do echo "== $f"; cat "$f"; done
  status=1
else
  [ "$kind" = plain ] || echo "  no sanitizer reports"
fi
exit $status
