#!/usr/bin/env bash
# Makes the certificates that the server certificate tests check, fresh for
# each test run (their dates are relative to today):
#   nts-certificates.sh DIR
# DIR receives DER files: ca (the CA the tests trust), good (for nts.test,
# valid now), expired (for nts.test, valid only in 2020), client (for
# nts.test but only for TLS clients), stranger (for
# nts.test from a CA nobody trusts), intermediate and chained (a leaf for
# nts.test issued below the trusted CA through the intermediate).
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$1.key" 2>/dev/null; }
ca_root() {  # name subject
  key "$1"
  openssl req -x509 -new -key "$work/$1.key" -subj "/CN=$2" -days 3650 -sha256 \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$work/$1.pem"
}
cat >"$work/ext.cnf" <<'CNF'
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:nts.test
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
subjectAltName = DNS:nts.test
[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
CNF
serial=1
issue() {  # name issuer subject section start end
  local name=$1 issuer=$2 subject=$3 section=$4 start=$5 end=$6
  [ -f "$work/$name.key" ] || key "$name"
  openssl req -new -key "$work/$name.key" -subj "/CN=$subject" -out "$work/$name.csr"
  mkdir -p "$work/db-$name"
  : >"$work/db-$name/index"
  printf '%02x\n' $serial >"$work/db-$name/serial"
  serial=$((serial + 1))
  cat >"$work/ca-$name.cnf" <<CNF
[ca]
default_ca = here
[here]
database = $work/db-$name/index
serial = $work/db-$name/serial
new_certs_dir = $work/db-$name
default_md = sha256
policy = anything
copy_extensions = none
[anything]
commonName = supplied
CNF
  openssl ca -batch -notext -config "$work/ca-$name.cnf" -cert "$work/$issuer.pem" \
    -keyfile "$work/$issuer.key" -in "$work/$name.csr" -out "$work/$name.pem" \
    -startdate "$start" -enddate "$end" -extfile "$work/ext.cnf" -extensions "$section" 2>/dev/null
}
day() { date -u -d "$1" +%Y%m%d%H%M%SZ; }

ca_root ca "Quorvel Test CA"
ca_root stranger-ca "Unknown Test CA"
issue good ca nts.test leaf "$(day '-1 day')" "$(day '+30 days')"
issue expired ca nts.test leaf 20200101000000Z 20200201000000Z
issue client ca nts.test client "$(day '-1 day')" "$(day '+30 days')"
issue stranger stranger-ca nts.test leaf "$(day '-1 day')" "$(day '+30 days')"
issue intermediate ca "Quorvel Test Intermediate" intermediate "$(day '-1 day')" "$(day '+30 days')"
issue chained intermediate nts.test leaf "$(day '-1 day')" "$(day '+30 days')"
for name in ca good expired client stranger intermediate chained; do
  openssl x509 -in "$work/$name.pem" -outform DER -out "$name.der"
done
