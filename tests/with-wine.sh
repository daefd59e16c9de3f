#!/usr/bin/env bash
# Runs one test command under Wine in a sandbox of its own:
#   with-wine.sh --make-template DIR     make a fresh Wine prefix once per test run
#   with-wine.sh TEMPLATE COMMAND...     run COMMAND with a private copy of TEMPLATE,
#                                        its own Xvfb display and, where possible, a
#                                        private network namespace with only loopback.
# The command sees WINEPREFIX, DISPLAY and QV_SANDBOX (the namespace name or "none").
# The system clock is out of reach: the command runs without CAP_SYS_TIME.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ "${1:-}" = "--make-template" ]; then
  dir=$2
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  WINEPREFIX=$dir DISPLAY= wineboot -i >/dev/null 2>&1 || true
  # No crash dialogs: a crashing program must simply end, and the test sees it.
  WINEPREFIX=$dir wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  WINEPREFIX=$dir wineserver -w
  test -f "$dir/system.reg"
  exit 0
fi

template=$1; shift
[ -d "$template" ] || { echo "with-wine: no prefix template at $template" >&2; exit 2; }

# Step 1: move into a private network namespace (root only, where ip netns works).
if [ -z "${QV_SANDBOX:-}" ]; then
  ns=qv-$$-$RANDOM
  if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && ip netns add "$ns" 2>/dev/null; then
    trap 'ip netns del "$ns" 2>/dev/null; rm -rf "/etc/netns/$ns"' EXIT
    ip netns exec "$ns" ip link set lo up
    # Name lookups inside the namespace come from its own hosts file only, so a
    # made-up name fails at once with "host not found" and nothing leaves the machine.
    mkdir -p "/etc/netns/$ns"
    cp "$here/e2e/hosts" "/etc/netns/$ns/hosts"
    printf 'hosts: files\n' >"/etc/netns/$ns/nsswitch.conf"
    printf 'nameserver 127.0.0.1\n' >"/etc/netns/$ns/resolv.conf"
    set +e
    QV_SANDBOX=$ns ip netns exec "$ns" "$0" "$template" "$@"
    rc=$?
    exit $rc
  fi
  export QV_SANDBOX=none
fi

# Step 2: a private prefix copy and a private X display.
work=$(mktemp -d /tmp/qv-wine.XXXXXX)
export WINEPREFIX=$work/prefix
cp -a "$template" "$WINEPREFIX"
xvfb_pid=
cleanup() {
  WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ "${QV_USE_DISPLAY:-}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
  :  # the user's own (local) display, for the demo
else
  # Xvfb writes its display number once it accepts clients; on a busy machine
  # that can take a good deal longer than the usual fraction of a second, and
  # one that lost a race for a display number ends: it is started again.
  for _try in 1 2 3; do
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1200); do
      [ -s "$work/display" ] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.05
    done
    [ -s "$work/display" ] && break
    kill "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  done
  [ -s "$work/display" ] || { echo "with-wine: Xvfb did not start" >&2; exit 2; }
  export DISPLAY=:$(cat "$work/display")
fi

drop=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  drop=(setpriv --bounding-set=-sys_time --inh-caps=-sys_time --)
fi
set +e
"${drop[@]}" "$@"
rc=$?
exit $rc
