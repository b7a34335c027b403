#!/usr/bin/env bash
# What the main job shows (docs/main-job.md): a fresh stand-in machine with
# two users, their files and the suite's programs; zvorx and the driver
# stand-in; the sample configuration (scripts/sample.commands) loaded over
# the control interface; a user session (scripts/scenarios/demo.scn) played
# through the driver with each decision printed; a clean stop; then the
# backup tree and both deletion logs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${ZV_BUILD_DIR:-$root/build}/bin
export ZV_MACHINE=${ZV_MACHINE:-$root/machine}
export ZV_BIN_DIR=$bin
# Ten times faster clocks: start-up's 1 s driver back-off, the control
# interface's 3.5 s start delay and the deletion-log writer's pauses pass
# in a fraction of a second.
export ZV_TIME_SCALE=${ZV_TIME_SCALE:-10}
scripts=$root/scripts
drive=$ZV_MACHINE/volumes/C
log=$ZV_MACHINE/zvorx-console.log

step() { printf '\n== %s\n' "$*"; }
# A file on the machine's drive C: (a DOS path), with the given text.
put() {
  local host=$drive/${1#C:\\}
  host=${host//\\//}
  mkdir -p "$(dirname "$host")"
  printf '%s' "$2" >"$host"
}
# Prints the played events shorter (processes by name, the usual access
# masks by name, paths in DOS form, no reply details), each under the
# comment lines right above it in the scenario: the player numbers its
# lines by the file's lines. $2 is the file manager's pid.
explain() {
  local device
  device=$("$bin/zvmachine" volume list | awk '$1 == "C:" { print $2 }')
  awk -v scn="$1" -v device="$device\\" -v explorer="$2" '
    BEGIN {
      while ((getline line < scn) > 0) text[++n] = line
      name[explorer] = "explorer"
      mask["0x001000A1"] = "execute"; mask["0x00120116"] = "write"
      mask["0x00120089"] = "read"; mask["0x00100001"] = "list"; mask["0x00010000"] = ""
    }
    match($0, /^[0-9]+: /) {
      num = substr($0, 1, RLENGTH - 2) + 0
      for (i = last + 1; i < num; i++) {
        if (text[i] == "") { if (shown) print ""; block = "" }
        else if (text[i] ~ /^# /) block = block "   " text[i] "\n"
      }
      printf "%s", block; block = ""; last = num; shown = 1
    }
    {
      line = $0
      while ((p = index(line, device)) > 0)
        line = substr(line, 1, p - 1) "C:\\" substr(line, p + length(device))
      if (match(line, /: run [^ ]+ pid [0-9]+ /)) {
        split(substr(line, RSTART + 2, RLENGTH - 3), w, " ")
        name[w[4]] = w[2]
      } else if (match(line, / pid [0-9]+ /)) {
        pid = substr(line, RSTART + 5, RLENGTH - 6)
        if (pid in name) line = substr(line, 1, RSTART) name[pid] substr(line, RSTART + RLENGTH - 1)
      }
      if (match(line, / access 0x[0-9A-F]+ /)) {
        m = substr(line, RSTART + 8, RLENGTH - 9)
        if (m in mask) line = substr(line, 1, RSTART) mask[m] substr(line, RSTART + RLENGTH - 1)
      }
      sub(/ kind 3 /, " open ", line); sub(/ kind 4 /, " rename ", line); sub(/-> \\\?\?\\/, "-> ", line)
      sub(/ \(aux [0-9]+\)/, "", line); gsub(/  +/, " ", line)
      print line
    }'
}

# ---- The machine ------------------------------------------------------------
step "a fresh machine at $ZV_MACHINE: users alice and bob, their files, the suite's programs"
"$bin/zvorx-driver" unload >/dev/null 2>&1 || true
if [ -e "$ZV_MACHINE" ]; then
  [ -e "$ZV_MACHINE/machine.db" ] || { echo "$ZV_MACHINE exists and is not a machine: not touching it"; exit 1; }
  rm -rf "$ZV_MACHINE"
fi
"$bin/zvmachine" create "$ZV_MACHINE" >/dev/null
"$bin/zvmachine" install >/dev/null
for user in alice bob; do "$bin/zvmachine" user add "$user" >/dev/null; done
put 'C:\Users\alice\Documents\plan.doc' 'plan, first draft'
put 'C:\Users\alice\Documents\Projects\budget.xls' 'budget'
put 'C:\Users\alice\Documents\Scratch\todo.txt' 'todo'
put 'C:\Users\alice\Downloads\game.exe' 'game'
put 'C:\Users\alice\Downloads\setup.exe' 'setup'
put 'C:\Users\bob\salary.txt' 'salary'
put 'C:\Users\Public\Templates\letter.dot' 'Dear ...'
# The mirror copy that the file manager's redirection finds.
put 'C:\qd\m\C\Users\alice\Documents\plan.doc' 'plan, mirrored'
# The file manager, running before the configuration is loaded, so that
# the access-control engine gives it its type by name.
explorer=$("$bin/zvmachine" process add 'C:\Windows\explorer.exe' --session 1 | sed -n 's/^started process \([0-9]*\).*/\1/p')
echo "file manager C:\\Windows\\explorer.exe runs as pid $explorer"

# ---- Boot with ZVVstIn ------------------------------------------------------
# The fresh machine has just booted: the start-up program's run before logon
# is the first of this boot. It is started in session 0 through the
# machine's program starts, as the product starts it at boot; so is the run
# after alice's logon. What they find: protection on (product data item 1
# and PROTECT=1); alice's hive file gone, with a saved copy (the product's
# UserReg folder) that holds her settings; in her Startup folder an approved
# entry and one nobody approved.
step "booting with ZVVstIn: before logon, alice logs on, after logon"
zv='C:\Program Files\ZV'
alice_startup='C:\Users\alice\AppData\Roaming\Microsoft\Windows\Start Menu\Programs\Startup'
"$bin/zvmachine" product set 1 1 >/dev/null
put "$zv\\ZVSettings.prs" $'[MAIN]\r\nPROTECT=1\r\n'
put "$zv\\ZVNewUserDelete.ini" $'[Settings]\r\nDelayTotalSeconds=1\r\n'
put "$zv\\Startup.prs" "[${alice_startup,,}\\]"$'\r\nnotes.lnk=OK\r\n'
put "$alice_startup\\notes.lnk" 'notes'
put "$alice_startup\\toolbar.lnk" 'toolbar'
put "$zv\\UserReg\\alice\\ntuser.dat" $'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\alice]\r\n\r\n[HKEY_USERS\\alice\\Control Panel\\Desktop]\r\n"Wallpaper"="C:\\\\Users\\\\alice\\\\sea.jpg"\r\n\r\n'
rm "$drive/Users/alice/ntuser.dat"
# Runs ZVVstIn with the switch and waits for it; prints its pid.
vstin() {
  "$bin/zvmachine" program start --session 0 --wait "\"$zv\\ZVVstIn.exe\" $1" |
    sed -n 's/^started process \([0-9]*\)$/\1/p'
}
before=$(vstin /runbeforelogon)
"$bin/zvmachine" logon alice >/dev/null
after=$(vstin /runafterlogon)
# The programs each run started (repeated starts counted), each with its
# session, show state and desktop.
"$bin/zvmachine" program list | awk -v before="$before" -v after="$after" '
  $3 != before && $3 != after { next }
  {
    run = $3 == before ? "before logon" : "after logon "
    show = $12; desktop = $14; cmd = $0
    sub(/^[^]]*\] [^:]*: /, "", cmd)
    how = "session " $5 (show == "0" ? ", hidden" : ", show " show)
    if (desktop != "\047\047") how = how ", desktop " desktop
    key = run "|" cmd "|" how
    if (!(key in seen)) order[++n] = key
    seen[key]++
  }
  END {
    for (i = 1; i <= n; i++) {
      split(order[i], f, "|")
      times = seen[order[i]] > 1 ? " (" seen[order[i]] " starts)" : ""
      printf "   %s  %s  [%s]%s\n", f[1], f[2], f[3], times
    }
  }'
windows_key='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows'
for view in 64 32; do
  printf '   AppInit_DLLs (%s-bit view): %s\n' "$view" \
    "$("$bin/zvmachine" reg query "$windows_key" /v AppInit_DLLs /reg:$view | awk '/AppInit_DLLs/ { print $3 }')"
done
sid=$("$bin/zvmachine" user list | awk '$1 == "alice" { print $2 }')
printf '   alice'\''s hive, put back from its saved copy: Wallpaper = %s\n' \
  "$("$bin/zvmachine" reg query "HKU\\$sid\\Control Panel\\Desktop" /v Wallpaper | awk '/Wallpaper/ { print $3 }')"
printf '   hive copies kept in %s\\UserReg for: %s\n' "$zv" "$(cd "$drive/Program Files/ZV/UserReg" && echo */ntuser.dat | sed "s:/ntuser.dat::g")"
printf '   alice'\''s Startup folder now: %s (toolbar.lnk was not approved)\n' \
  "$(cd "$drive/Users/alice/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Startup" && echo *)"
echo "   its logs (C:\\Program Files\\ZV\\ZVVstIn_<time>.log), repeated lines counted:"
cat "$drive/Program Files/ZV/"ZVVstIn_2*.log | tr -d '\r' | awk '
  { sub(/^[^ ]+ - /, ""); if (!($0 in seen)) order[++n] = $0; seen[$0]++ }
  END { for (i = 1; i <= n; i++) printf "     %s%s\n", order[i], (seen[order[i]] > 1 ? " (x" seen[order[i]] ")" : "") }'

# ---- zvorx ------------------------------------------------------------------
step "starting zvorx in console mode (its output goes to $log)"
"$bin/zvorx" >"$log" 2>&1 &
zvorx_pid=$!
trap 'kill $zvorx_pid 2>/dev/null || true; "$bin/zvorx-driver" unload >/dev/null 2>&1 || true; "$bin/zvmachine" boot >/dev/null 2>&1 || true' EXIT
connected=
for _ in $(seq 1 200); do
  if "$bin/zvorx-driver" status 2>/dev/null | grep -q 'client: connected'; then connected=1; break; fi
  sleep 0.05
done
[ -n "$connected" ] || { echo "zvorx did not connect to the driver"; cat "$log"; exit 1; }
# The control interface listens after its start delay; an unknown command
# name is a harmless probe.
for _ in $(seq 1 200); do
  "$bin/zvorxctl" i 0 NO_SUCH_COMMAND 0 >/dev/null 2>&1 && break
  sleep 0.05
done
echo "zvorx (pid $zvorx_pid) is connected to the driver's port and its control interface listens"

step "loading scripts/sample.commands through zvorxctl"
grep -v '^\s*\(#\|$\)' "$scripts/sample.commands" | grep -v SETLOG | sed 's/^/   /'
"$bin/zvorxctl" run "$scripts/sample.commands" | tail -n 1

step "playing scripts/scenarios/demo.scn: each decision, and what was done on the drive"
played=$ZV_MACHINE/demo.scn
sed "s/\${EXPLORER}/$explorer/g" "$scripts/scenarios/demo.scn" >"$played"
# A decision other than expected shows as MISMATCH; the demo goes on and
# its exit status says so at the end.
played_status=0
"$bin/zvorx-driver" play "$played" | explain "$played" "$explorer" || played_status=$?

# The file manager opens a document whose mirror copy exists (execute mode 3):
step "the file manager's redirection: execute mode 3 (scripts/redirect.commands)"
"$bin/zvorxctl" run "$scripts/redirect.commands" | tail -n 1
sed "s/\${EXPLORER}/$explorer/g" "$scripts/scenarios/redirect.scn" >"$ZV_MACHINE/redirect.scn"
"$bin/zvorx-driver" play "$ZV_MACHINE/redirect.scn" | explain "$ZV_MACHINE/redirect.scn" "$explorer" || played_status=$?
"$bin/zvmachine" program list | sed -n 's/.*\[halvorn\][^:]*: /   the launcher started: /p'

# ---- Stop -------------------------------------------------------------------
step "stopping: the driver unloads, zvorx's workers end and it shuts down in order"
"$bin/zvorx-driver" unload
status=0
wait $zvorx_pid || status=$?
trap '"$bin/zvmachine" boot >/dev/null 2>&1 || true' EXIT
# Its final unload finds the driver gone: 0x801F0013, of which a Linux exit
# status keeps the low byte.
echo "zvorx exited with $status (the low byte of its final unload result 0x801F0013)"
grep -q 'backupengine deleted' "$log" && echo "the backup engine wrote its deletion logs and ended"

# ---- What it left -----------------------------------------------------------
step "the backup tree C:\\qd\\r (the version before the first change)"
(cd "$drive/qd/r" 2>/dev/null && find . -type f | sort | while read -r f; do
  printf '   C:\\qd\\r\\%s: %s\n' "$(echo "${f#./}" | tr / '\\')" "$(cat "$f")"
done)
printf '   and now C:\\Users\\alice\\Documents\\plan.doc: %s\n' "$(cat "$drive/Users/alice/Documents/plan.doc")"

step "deletion logs: files and folders made in protected folders this session"
for f in deletelog.dat deletelog.dat_dir; do
  echo "   C:\\qd\\$f:"
  iconv -f UTF-16LE -t UTF-8 "$drive/qd/$f" | sed 's/^/     /'
done

# ---- Restore ----------------------------------------------------------------
step "rolling the session back: zvrestore (zvorx has stopped)"
"$bin/zvrestore" | sed 's/^/   /' || true
printf '   and now C:\\Users\\alice\\Documents\\plan.doc: %s\n' "$(cat "$drive/Users/alice/Documents/plan.doc")"
echo "   a second run changes nothing: $("$bin/zvrestore" | tail -n 1)"

# The programs the session started (window holders) end with the machine.
"$bin/zvmachine" boot >/dev/null
trap - EXIT
echo
echo "zvorx's full console and log output: $log"
exit $played_status
