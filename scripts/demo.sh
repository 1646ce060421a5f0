#!/usr/bin/env bash
# The main job: installs what is missing, builds btsetter and runs it.
# With no module attached it starts the simulated module (an HC-06 at 9600
# baud with the linvor firmware) and lets btsetter find its rate, read its
# version and set a new name and PIN.  With BTSETTER_PORT=/dev/ttyUSB0 (or
# another port) it only reads the version of the real module there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [[ -n "${BTSETTER_PORT:-}" ]]; then
  echo "\$ btsetter -p $BTSETTER_PORT"
  exec build/app/btsetter -p "$BTSETTER_PORT"
fi

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
build/tools/hc06sim --link "$work/ttyUSB0" --transcript "$work/transcript" --lifetime 120 \
  > "$work/sim.out" &
sim=$!
for _ in $(seq 50); do [[ -s "$work/sim.out" ]] && break; sleep 0.1; done

echo "Simulated HC-06 module (linvor firmware, 9600 baud) on $work/ttyUSB0"
echo "\$ btsetter -p $work/ttyUSB0 --set-name Workbench --set-pin 4321"
status=0
build/app/btsetter -p "$work/ttyUSB0" --set-name Workbench --set-pin 4321 || status=$?
echo
echo "What the module received (ms since start, line speed, command, reply):"
cat "$work/transcript"
exit $status
