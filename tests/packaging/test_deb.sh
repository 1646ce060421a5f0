#!/usr/bin/env bash
# Builds the Debian package from this build tree into a scratch directory,
# checks its control fields and contents, and runs the program it holds.
# Usage: test_deb.sh CPACK BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) when the Debian tools are missing.
set -uo pipefail
cpack=$1
build=$2
source=$3

for tool in dpkg-deb dpkg dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (packages dpkg, dpkg-dev, file)"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# -B keeps cpack's staging and the package out of the build tree, so runs in
# several trees (or twice in one) do not meet.
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$work/out/btsetter_1.0_amd64.deb
if [[ ! -f $deb ]]; then
  cat "$work/cpack.log"
  ls -l "$work/out"
  echo "FAIL: no $deb"
  exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
for expected in "Package=btsetter" "Version=1.0" "Architecture=amd64" "Section=utils" \
  "Maintainer=btsetter developers <btsetter@example.org>" "Homepage=https://btsetter.example.org"; do
  name=${expected%%=*}
  value=$(field "$name")
  [[ $value == "${expected#*=}" ]] || fail "$name is '$value', expected '${expected#*=}'"
done
description=$(field Description)
# The summary, then an extended description that does not repeat it.
[[ $description == "configure HC-04 and HC-06 Bluetooth serial modules"$'\n'" btsetter reads"* ]] ||
  fail "Description: $description"
depends=$(field Depends)
# Filled in from the linked libraries; TCLAP is header-only.
[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends is '$depends'"
[[ $depends != *tclap* ]] || fail "Depends names TCLAP: '$depends'"

root=$work/root
dpkg -x "$deb" "$root" || fail "dpkg -x"
version=$("$root/usr/bin/btsetter" --version)
status=$?
[[ $version == "HC04/06 bluettoth module configurator, version 1.0" && $status -eq 0 ]] ||
  fail "usr/bin/btsetter --version printed '$version' with status $status"

for file in usr/share/man/man1/btsetter.1.gz usr/share/bash-completion/completions/btsetter \
  usr/share/doc/btsetter/README.md usr/share/doc/btsetter/LICENSE; do
  [[ -f $root/$file ]] || fail "$file is not in the package"
done
cmp -s "$root/usr/share/bash-completion/completions/btsetter" "$source/scripts/btsetter-completion.bash" ||
  fail "the packaged completion differs from scripts/btsetter-completion.bash"
cmp -s <(gzip -dc "$root/usr/share/man/man1/btsetter.1.gz") "$source/docs/btsetter.1" ||
  fail "the packaged manual page differs from docs/btsetter.1"
# Everything lies under /usr; nothing from the build or test machinery.
extra=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -E '^\./(usr/?)?$|^\./usr/(bin|share)(/|$)')
[[ -z $extra ]] || fail "unexpected entries: $extra"
[[ $(dpkg-deb -c "$deb" | awk '{print $6}' | grep -c '^\./usr/bin/.') -eq 1 ]] ||
  fail "usr/bin holds more than btsetter: $(dpkg-deb -c "$deb" | grep ' \./usr/bin/.')"

if ((failed)); then
  echo "package contents:"
  dpkg-deb -c "$deb"
  exit 1
fi
echo "package ok: $(basename "$deb"), Depends: $depends"
