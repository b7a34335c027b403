#!/bin/sh
# Checks the systemd unit with systemd-analyze: `verify` must say nothing
# (an unknown key or a bad value is only a warning there, so any output
# fails), and the exposure rated by `security --offline=yes` must not be
# above the limit. Exit 77 (skipped) where systemd-analyze is missing.
# Usage: unit_check.sh UNIT_FILE [LIMIT]
unit=$1
limit=${2:-3.5}
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze not found: unit not checked"
  exit 77
fi
[ -f "$unit" ] || { echo "no unit file: $unit"; exit 1; }
name=$(basename "$unit")

# verify loads the unit with its dependencies and checks that its programs
# exist. It runs against a scratch root holding the host's system units,
# the unit and stand-ins for the programs its Exec lines name, so the
# check needs neither an installation nor systemd as process 1.
root=$(mktemp -d) || exit 1
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/etc/systemd/system" "$root/usr/lib/systemd" || exit 1
for dir in /usr/lib/systemd/system /lib/systemd/system; do
  if [ -d "$dir" ]; then cp -r "$dir" "$root/usr/lib/systemd/" && break; fi
done
cp "$unit" "$root/etc/systemd/system/$name" || exit 1
for program in $(sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$unit"); do
  mkdir -p "$root$(dirname "$program")" && cp /bin/true "$root$program" || exit 1
done
output=$(systemd-analyze verify --root="$root" "$name" 2>&1)
status=$?
if [ $status -ne 0 ] || [ -n "$output" ]; then
  echo "systemd-analyze verify $name: exit $status"
  echo "$output"
  exit 1
fi
echo "verify: clean"

report=$(systemd-analyze security --offline=yes "$unit" 2>&1)
exposure=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
  echo "systemd-analyze security gave no exposure level:"
  echo "$report"
  exit 1
fi
echo "exposure: $exposure (limit $limit)"
if awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e > l) }'; then
  printf '%s\n' "$report" | grep '✗'
  echo "exposure $exposure is above $limit"
  exit 1
fi
