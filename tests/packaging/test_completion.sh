#!/usr/bin/env bash
# The bash completion of btsetter, driven as bash drives it: COMP_WORDS and
# COMP_CWORD set, the function registered for btsetter called, COMPREPLY read.
# Ports come from a fake device directory, never the machine's /dev.
# Usage: test_completion.sh COMPLETION_FILE
set -uo pipefail
completion=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dev=$work/dev
mkdir "$dev" "$work/sim"
# Nodes of every pattern, out of order, and names no pattern matches.
touch "$dev"/{ttyUSB1,ttyUSB0,ttyS1,ttyS0,ttyACM0,tty.usbserial-A1,cu.usbserial-A1,ttyAMA0}
touch "$dev"/{tty,tty1,ttyprintk,null,console,ttyXRUSB0}
touch "$work/sim/ttyUSB0"

# Each case: expected replies (one line, blank-separated, in order) | words
# of the command line, the last one being completed (quoted with '').
cases=$(cat <<EOF
-p --port -b --baud --set-name --set-pin --set-baud --detect-ports -h --help --version|btsetter ''
--set-name --set-pin --set-baud|btsetter --set-
--port|btsetter --p
--baud --set-name --set-pin --set-baud --detect-ports --help --version|btsetter -p /dev/ttyUSB0 --
-b --baud --set-name --set-baud --detect-ports -h --help --version|btsetter --port x --set-pin 1234 ''
--set-pin --set-baud|btsetter --set-name Kitchen --set-
1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600 1382400|btsetter -b ''
1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600 1382400|btsetter --set-baud ''
1200 19200 115200 1382400|btsetter --baud 1
921600|btsetter -p /dev/ttyUSB0 --set-baud 92
|btsetter -b 7
$dev/ttyACM0 $dev/ttyS0 $dev/ttyS1 $dev/ttyUSB0 $dev/ttyUSB1 $dev/tty.usbserial-A1 $dev/cu.usbserial-A1 $dev/ttyAMA0|btsetter -p ''
$dev/ttyUSB0 $dev/ttyUSB1|btsetter --port $dev/ttyU
$dev/ttyACM0 $dev/ttyAMA0|btsetter -b 9600 -p $dev/ttyA
$dev/ttyS0 $dev/ttyS1|btsetter -p $dev/ttyS
$work/sim/ttyUSB0|btsetter -p $work/sim/tty
|btsetter --set-name ''
|btsetter --set-pin ''
EOF
)

passed=0
failed=0
while IFS='|' read -r expected words; do
  actual=$(BTSETTER_COMPLETION_DEV=$dev bash --norc --noprofile -c '
    source "$1" || exit 1
    registration=$(complete -p btsetter) || exit 1
    function=${registration#*-F }
    function=${function%% *}
    eval "COMP_WORDS=($2)"
    COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function" btsetter "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    echo "${COMPREPLY[*]}"
  ' completion "$completion" "$words" 2>&1)
  if [[ $actual == "$expected" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $words"
    echo "  expected: $expected"
    echo "  actual:   $actual"
  fi
done <<<"$cases"

# The user's glob options: failglob must not break the port list, and they
# stay as they were.
actual=$(BTSETTER_COMPLETION_DEV=$dev bash --norc --noprofile -c '
  shopt -s failglob nocaseglob
  source "$1" || exit 1
  COMP_WORDS=(btsetter -p "$BTSETTER_COMPLETION_DEV/ttyUSB")
  COMP_CWORD=2
  _btsetter
  echo "${COMPREPLY[*]}|$(shopt -p failglob nocaseglob nullglob dotglob | tr "\n" " ")"
' completion "$completion" 2>&1)
expected="$dev/ttyUSB0 $dev/ttyUSB1|shopt -s failglob shopt -s nocaseglob shopt -u nullglob shopt -u dotglob "
if [[ $actual == "$expected" ]]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAIL: glob options"
  echo "  expected: $expected"
  echo "  actual:   $actual"
fi

echo "completion: $passed passed, $failed failed"
((failed == 0))
