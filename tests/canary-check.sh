#!/usr/bin/env bash
# Fails unless each named object of the static library calls the stack
# protector's check: the elevated program's pure core must have canaries too.
#   canary-check.sh NM LIBRARY OBJECT...   (OBJECT: a member such as consensus.cpp.obj)
set -euo pipefail
nm=$1 library=$2; shift 2
symbols=$("$nm" -A "$library")
rc=0
for object in "$@"; do
  grep -q "$object:.* U __stack_chk_fail" <<<"$symbols" || { echo "no stack canary in $object"; rc=1; }
done
[ $rc = 0 ] && echo "canaries in:" "$@"
exit $rc
