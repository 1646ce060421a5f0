#!/usr/bin/env bash
# The manual page formats without a single warning, and its synopsis and
# options name every option of the program's help text.
# Usage: test_manpage.sh MANPAGE BTSETTER
# Exits 77 (skipped) when groff is missing.
set -uo pipefail
page=$1
btsetter=$2

if ! command -v groff >/dev/null; then
  echo "SKIP: groff is not installed (package groff-base)"
  exit 77
fi

failed=0
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || { echo "FAIL: groff warnings:"; echo "$warnings"; failed=1; }
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || { echo "FAIL: man warnings:"; echo "$warnings"; failed=1; }
fi

text=$(groff -man -Tascii -P-c -P-b -P-u "$page" 2>/dev/null)
options=$("$btsetter" --help | grep -o -E '^ (-[a-z], +)?--[a-z-]+' | grep -o -E -- '--[a-z-]+')
[[ -n $options ]] || { echo "FAIL: no options in the help text"; failed=1; }
for option in $options; do
  grep -q -E -- "^ +(-[a-z]( [a-z]+)?, )?$option( |$)" <<<"$text" ||
    { echo "FAIL: $option has no entry in the manual page"; failed=1; }
done
exit $failed
