#!/usr/bin/env bash
# Writes a signed program image for zq_update: the program (N bytes) followed by a 128-byte
# trailer, "TCUSIG01", N (u64 LE), the version a.b.c (three u16 LE), 42 zero bytes and the
# Ed25519 signature of the program and the trailer's first 64 bytes.
# Usage: scripts/sign_image.sh KEY.pem PROGRAM a.b.c OUTPUT
#   KEY.pem  Ed25519 private key (openssl genpkey -algorithm ed25519 -out KEY.pem)
#   OUTPUT   written whole or not at all; offer it to the HMI with Size = N + 128
set -euo pipefail
if [ $# -ne 4 ]; then
    echo "usage: $0 KEY.pem PROGRAM a.b.c OUTPUT" >&2
    exit 2
fi
key=$1 program=$2 version=$3 output=$4
[ -r "$key" ] || { echo "$0: cannot read key $key" >&2; exit 1; }
[ -f "$program" ] && [ -r "$program" ] || { echo "$0: cannot read program $program" >&2; exit 1; }
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
    echo "$0: version must be a.b.c with three decimal numbers" >&2
    exit 1
fi
nums=()
for i in 1 2 3; do
    # Checked as text before any arithmetic, which would wrap a long number silently.
    digits=${BASH_REMATCH[$i]}
    digits=${digits#"${digits%%[!0]*}"}
    if [ ${#digits} -gt 5 ] || [ "${digits:-0}" -gt 65535 ]; then
        echo "$0: version number ${BASH_REMATCH[$i]} does not fit 16 bits" >&2
        exit 1
    fi
    nums+=("$((10#${digits:-0}))")
done
size=$(stat -L -c %s "$program")

# Little-endian bytes of a number as printf escapes.
le() {
    local value=$1 count=$2 out="" i
    for ((i = 0; i < count; i++)); do
        out+=$(printf '\\x%02x' $((value & 255)))
        value=$((value >> 8))
    done
    printf '%s' "$out"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/sign_image.XXXXXX")
tmp_out=""
trap 'rm -rf "$work" ${tmp_out:+"$tmp_out"}' EXIT
head="$work/head"
# shellcheck disable=SC2059  # the format is built of escapes on purpose
printf "TCUSIG01$(le "$size" 8)$(le "${nums[0]}" 2)$(le "${nums[1]}" 2)$(le "${nums[2]}" 2)" >"$head"
head -c 42 /dev/zero >>"$head"
[ "$(stat -c %s "$head")" -eq 64 ] || { echo "$0: trailer head is not 64 bytes" >&2; exit 1; }
cat "$program" "$head" >"$work/signed"
openssl pkeyutl -sign -rawin -inkey "$key" -in "$work/signed" -out "$work/sig"
# Only an Ed25519 key gives a 64-byte signature.
[ "$(stat -c %s "$work/sig")" -eq 64 ] || { echo "$0: $key is no Ed25519 key" >&2; exit 1; }
cat "$work/sig" >>"$work/signed"
out_dir=$(dirname "$output")
tmp_out=$(mktemp "$out_dir/.sign_image.XXXXXX")
cp "$work/signed" "$tmp_out"
chmod 0644 "$tmp_out"
mv -f "$tmp_out" "$output"
echo "$output: $size + 128 bytes, version ${nums[0]}.${nums[1]}.${nums[2]}, Size=$((size + 128))"
