#!/usr/bin/env bash
# What the main job shows: zvorx running in console mode on the stand-in
# machine, answering the driver stand-in and its control interface.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${ZV_BUILD_DIR:-$root/build}/bin
export ZV_MACHINE=${ZV_MACHINE:-$root/machine}
export ZV_BIN_DIR=$bin
# Ten times faster clocks: start-up's 1 s driver back-off and the control
# interface's 3.5 s start delay pass in a fraction of a second.
export ZV_TIME_SCALE=${ZV_TIME_SCALE:-10}
log=$ZV_MACHINE/zvorx-console.log

"$bin/zvmachine" create "$ZV_MACHINE" >/dev/null
"$bin/zvorx-driver" unload >/dev/null 2>&1 || true

echo "== starting zvorx (console mode); its output goes to $log"
"$bin/zvorx" >"$log" 2>&1 &
zvorx_pid=$!
trap 'kill $zvorx_pid 2>/dev/null || true; "$bin/zvorx-driver" unload >/dev/null 2>&1 || true' EXIT

connected=
for _ in $(seq 1 100); do
  if "$bin/zvorx-driver" status 2>/dev/null | grep -qi 'client: *connected'; then connected=1; break; fi
  sleep 0.1
done
[ -n "$connected" ] || { echo "zvorx did not connect to the driver"; cat "$log"; exit 1; }
"$bin/zvorx-driver" status

echo "== playing scripts/scenarios/demo.scn through the driver"
"$bin/zvorx-driver" play "$root/scripts/scenarios/demo.scn"

echo "== control interface: show every log level, then name an engine"
for _ in $(seq 1 50); do
  "$bin/zvorxctl" i 0 MAIN_ENGINE_SETLOG 0xffff >/dev/null 2>&1 && break
  sleep 0.1
done
"$bin/zvorxctl" i 0 MAIN_ENGINE_SETLOG 0xffff
"$bin/zvorxctl" is 0 MAIN_ENGINE_CREATE 1 VEVODEZU1

echo "== unloading the driver from outside: zvorx's workers end and it shuts down"
"$bin/zvorx-driver" unload
status=0
wait $zvorx_pid || status=$?
trap - EXIT
# Its final unload finds the driver gone: 0x801F0013, of which a Linux exit
# status keeps the low byte.
echo "zvorx exited with $status (low byte of its final unload result)"
echo "== zvorx console and debugger output"
cat "$log"
