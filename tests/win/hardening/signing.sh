#!/bin/sh
# tools/sign.sh on a program of the build: the key as a PEM pair or as a
# PKCS#12 file gives the same signature; the signing time is the time of the
# sources, so the same time gives the same bytes and another time other
# bytes; and a signing that fails (wrong password, half a key) removes the
# program and leaves nothing else behind, so that no build ships it unsigned.
#   usage: signing.sh <windows build folder> <results xml>
set -u
build=$1
results=$2
root=$(cd "$(dirname "$0")/../../.." && pwd)
work=$(mktemp -d)
. "$root/tools/checks.sh"
sign="$root/tools/sign.sh"
program="$build/payload/Vantok.exe"
ca="$root/build/signing/test-root.pem"

# signed NAME [VAR=VALUE...]: a copy of the program signed as NAME with the
# environment given.
signed() {
    name=$1
    shift
    cp "$program" "$work/$name" && env "$@" sh "$sign" file "$work/$name"
}
verifies() { osslsigncode verify -CAfile "$ca" -in "$1"; }
fails() { ! "$@"; }
left_alone() { [ ! -e "$work/$1" ] && [ -z "$(ls "$work" | grep -F "$1.")" ]; }

check prepare_makes_test_certificate sh "$sign" prepare
check unsigned_program_has_no_signature fails verifies "$program"
# Without a key the release says it is test-signed; with a key it must not.
check no_key_is_test sh "$sign" is-test
check pkcs12_key_is_not_test fails env ORBELUNE_SIGN_PKCS12=maintainer.p12 sh "$sign" is-test

signer="$root/build/signing/test-signer"
openssl pkcs12 -export -in "$signer.pem" -inkey "$signer.key" -passout pass:orbelune-test \
    -out "$work/signer.p12" >"$work/p12.log" 2>&1
check pem_key_signs signed pem.exe SOURCE_DATE_EPOCH=1790000000
check pem_signature_verifies verifies "$work/pem.exe"
check pkcs12_key_signs signed p12.exe SOURCE_DATE_EPOCH=1790000000 ORBELUNE_SIGN_PKCS12="$work/signer.p12" \
    ORBELUNE_SIGN_PASSWORD=orbelune-test
check pkcs12_and_pem_same_bytes cmp "$work/pem.exe" "$work/p12.exe"
check same_time_same_bytes signed again.exe SOURCE_DATE_EPOCH=1790000000
check same_time_same_bytes_compared cmp "$work/pem.exe" "$work/again.exe"
check other_time_signs signed later.exe SOURCE_DATE_EPOCH=1790000001
check other_time_other_bytes fails cmp -s "$work/pem.exe" "$work/later.exe"

cp "$program" "$work/wrong.exe"
check wrong_password_fails fails env ORBELUNE_SIGN_PKCS12="$work/signer.p12" ORBELUNE_SIGN_PASSWORD=wrong \
    sh "$sign" file "$work/wrong.exe"
check wrong_password_removes_program left_alone wrong.exe
cp "$program" "$work/half.exe"
check half_a_key_fails fails env ORBELUNE_SIGN_CERT="$signer.pem" sh "$sign" file "$work/half.exe"
check half_a_key_removes_program left_alone half.exe

echo "signing: $passed passed, $failed failed"
write_results signing "$results"
rm -rf "$work"
[ $failed -eq 0 ]
