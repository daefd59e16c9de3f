#!/usr/bin/env bash
# Runs the test program under Wine as if on a real PC (QV_TESTS_ASSUME_NOT_WINE=1)
# and checks that the tests which change the machine's registry or clock are
# skipped and leave the registry as it was:
#   not-wine-check.sh TESTS_EXE SUITE...   (the suites that must be skipped)
# Meant to run inside with-wine.sh, in a throw-away prefix.
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); shift
[ $# -gt 0 ] || { echo "not-wine-check: no suites named" >&2; exit 2; }

work=$(mktemp -d /tmp/qv-not-wine.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"  # reg.exe takes file names relative to here; "/tmp/..." would read as a switch

# What a real PC has: other programs' log-on entries, our settings and our uninstall entry.
keys=('HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
      'HKLM\Software\Quorvel'
      'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel')
wine reg add "${keys[0]}" /v OtherProgram /d '"C:\other.exe" /tray' /f >/dev/null
wine reg add "${keys[1]}" /v Schedule /t REG_DWORD /d 7 /f >/dev/null
wine reg add "${keys[2]}" /v DisplayName /d Quorvel /f >/dev/null
export_keys() {
  local i
  # A key that is gone exports nothing, and so differs from before.
  for i in "${!keys[@]}"; do wine reg export "${keys[$i]}" "$1-$i.reg" /y >/dev/null 2>&1 || true; done
}
export_keys before

set +e
QV_TESTS_ASSUME_NOT_WINE=1 wine "$exe" >out.txt 2>&1
rc=$?
set -e

fail=0
complain() { echo "not-wine-check: $*" >&2; fail=1; }
[ "$rc" = 0 ] || complain "the test program failed (exit $rc)"
for suite in "$@"; do
  grep -q "^\[  SKIPPED \] $suite\." out.txt || complain "no test of $suite was skipped"
  if grep -E "^\[ +(OK|FAILED) +\] $suite\." out.txt >&2; then complain "$suite ran"; fi
done
grep -q "runs only under Wine" out.txt || complain "the skips do not say why"
export_keys after
for i in "${!keys[@]}"; do
  cmp -s "before-$i.reg" "after-$i.reg" || complain "${keys[$i]} changed"
done
if [ "$fail" != 0 ]; then
  tail -n 40 out.txt >&2
  exit 1
fi
echo "not-wine-check: $(grep -cE '^\[  SKIPPED \] .* \([0-9]+ ms\)' out.txt) tests skipped, registry unchanged"
