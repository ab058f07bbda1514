#!/bin/sh
# Authenticode signing of the shipped programs with osslsigncode (SHA-256).
#   sign.sh prepare     make the test certificate when no key is given
#   sign.sh identity    one line naming the key, signing time and timestamp
#                       servers; a release is signed anew when it changes
#   sign.sh file FILE   sign FILE in place; on failure FILE is removed, so
#                       that the next build links it again instead of
#                       shipping it unsigned
#   sign.sh root        path of the root certificate the signatures lead to
#   sign.sh is-test     succeeds when no key is given, so that the test
#                       certificate signs
#   sign.sh given TOOL LIST BUILT STAGE
#                       the payload list of a signed build: STAGE/payload.list,
#                       LIST with each program that it gives by path replaced
#                       by a signed copy in STAGE (the given file is never
#                       changed), or kept when it carries a valid signature;
#                       and STAGE/origins, where each entry came from
#
# The maintainer's key comes from the environment:
#   ORBELUNE_SIGN_PKCS12=file.p12                       a PKCS#12 file, or
#   ORBELUNE_SIGN_CERT=chain.pem ORBELUNE_SIGN_KEY=key.pem   PEM certificate(s) and key
#   ORBELUNE_SIGN_PASSWORD=...     password of the PKCS#12 file or of the key
#   ORBELUNE_SIGN_ROOT=root.pem    the root that the certificate chains to
#                                  (default: the system's certificate bundle)
#   ORBELUNE_SIGN_TIMESTAMP="url [url...]"   RFC 3161 servers; a timestamp
#                                  makes the signature differ on each run
# Without them a test root and a code-signing certificate that it issued are
# made under build/signing/ (never committed) and used.
#
# The signing time is the time of the sources: SOURCE_DATE_EPOCH when set,
# else the time of the last commit, so that the same sources and the same key
# give the same bytes.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
signing="$root/build/signing"

# A file being signed is removed on any failure, never left unsigned.
fail() {
    [ -n "${unsigned:-}" ] && rm -f "$unsigned"
    echo "sign.sh: $*" >&2
    exit 1
}

# The test root and the certificate that it issued, valid from 2000 to 2099
# so that any signing time of the sources falls inside. openssl ca sets the
# dates that openssl x509 cannot. The root's key is dropped once the one
# certificate is issued: whoever trusts the test root trusts that one only.
make_test_certificate() {
    [ -f "$signing/test-signer.pem" ] && [ -f "$signing/test-signer.key" ] &&
        [ -f "$signing/test-root.pem" ] && return 0
    rm -rf "$signing"
    mkdir -p "$signing/ca" || return 1
    : >"$signing/ca/index.txt"
    cat >"$signing/ca/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
dir = $signing/ca
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
organizationName = optional
commonName = supplied
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
    echo 01 >"$signing/ca/serial"
    ca() { openssl ca -batch -notext -config "$signing/ca/ca.cnf" -startdate 20000101000000Z \
               -enddate 20991231235959Z "$@" >>"$signing/ca/log" 2>&1; }
    openssl req -new -newkey rsa:3072 -nodes -keyout "$signing/test-root.key" \
        -subj "/O=Orbelune/CN=Orbelune Test Root" -out "$signing/ca/root.csr" >>"$signing/ca/log" 2>&1 &&
        ca -selfsign -keyfile "$signing/test-root.key" -extensions root \
           -in "$signing/ca/root.csr" -out "$signing/test-root.pem" &&
        openssl req -new -newkey rsa:3072 -nodes -keyout "$signing/test-signer.key" \
            -subj "/O=Orbelune/CN=Orbelune Test Code Signing" -out "$signing/ca/signer.csr" \
            >>"$signing/ca/log" 2>&1 &&
        ca -cert "$signing/test-root.pem" -keyfile "$signing/test-root.key" -extensions signer \
           -in "$signing/ca/signer.csr" -out "$signing/test-signer.pem" &&
        rm -rf "$signing/ca" "$signing/test-root.key" && return 0
    cat "$signing/ca/log" >&2
    rm -rf "$signing"
    return 1
}

# The key: $p12, or $cert and $key; $key_files names what it is made of.
select_key() {
    p12=${ORBELUNE_SIGN_PKCS12:-}
    cert=${ORBELUNE_SIGN_CERT:-}
    key=${ORBELUNE_SIGN_KEY:-}
    if [ -n "$p12" ]; then
        [ -r "$p12" ] || fail "cannot read ORBELUNE_SIGN_PKCS12 ($p12)"
        key_files=$p12
        return 0
    fi
    if [ -z "$cert$key" ]; then
        [ -f "$signing/test-signer.pem" ] || fail "no test certificate; run: sign.sh prepare"
        cert="$signing/test-signer.pem"
        key="$signing/test-signer.key"
    fi
    [ -r "$cert" ] || fail "cannot read the certificate ORBELUNE_SIGN_CERT ($cert)"
    [ -r "$key" ] || fail "cannot read the key ORBELUNE_SIGN_KEY ($key)"
    key_files="$cert
$key"
}

# No key in the environment: the test certificate signs.
no_key() { [ -z "${ORBELUNE_SIGN_PKCS12:-}${ORBELUNE_SIGN_CERT:-}${ORBELUNE_SIGN_KEY:-}" ]; }

source_time() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
    else
        git -C "$root" log -1 --format=%ct 2>/dev/null
    fi
}

sign_file() {
    file=$1
    select_key
    epoch=$(source_time)
    case "$epoch" in
        '' | *[!0-9]*) fail "no time of the sources: set SOURCE_DATE_EPOCH outside a git checkout" ;;
    esac
    if [ -n "$p12" ]; then
        set -- -pkcs12 "$p12"
    else
        set -- -certs "$cert" -key "$key"
    fi
    for url in ${ORBELUNE_SIGN_TIMESTAMP:-}; do
        set -- "$@" -ts "$url"
    done
    # The password goes through a pipe, never the command line. Debian 12's
    # osslsigncode (2.5) reads -readpass as a file name only, not "-".
    if [ -n "${ORBELUNE_SIGN_PASSWORD:-}" ]; then
        set -- "$@" -readpass /dev/stdin
    fi
    out="$file.signing"
    rm -f "$out"
    if printf '%s' "${ORBELUNE_SIGN_PASSWORD:-}" |
            osslsigncode sign "$@" -h sha256 -time "$epoch" -n "Orbelune App Pack (Single User)" \
                -in "$file" -out "$out" >"$out.log" 2>&1 &&
            chmod --reference="$file" "$out" && mv -f "$out" "$file"; then
        rm -f "$out.log"
        return 0
    fi
    cat "$out.log" >&2
    rm -f "$out" "$out.log"
    fail "signing $file failed"
}

identity() {
    select_key
    digest=$(printf '%s\n' "$key_files" | while IFS= read -r f; do cat "$f"; done | sha256sum | cut -c1-64)
    echo "$digest $(source_time) ${ORBELUNE_SIGN_TIMESTAMP:-}"
}

root_certificate() {
    if [ -n "${ORBELUNE_SIGN_ROOT:-}" ]; then
        echo "$ORBELUNE_SIGN_ROOT"
    elif no_key; then
        echo "$signing/test-root.pem"
    else
        echo /etc/ssl/certs/ca-certificates.crt
    fi
}

# stage_given TOOL LIST BUILT STAGE: see "given" above. Entries 1 to 10 given
# by path are programs: one without a signature is copied to STAGE and the
# copy signed (again only when the file, its time or the key changed); one
# with a signature that verifies against the release's root or the system's
# certificates is packed as it is; any other signature stops the build.
stage_given() {
    tool=$1 list=$2 built=$3 stage=$4
    mkdir -p "$stage" || fail "cannot make $stage"
    "$tool" --list "$list" --dir "$built" --resolve >"$stage/entries" || fail "cannot read the payload list $list"
    trusted="$stage/trusted.pem"
    cat "$(root_certificate)" >"$trusted" || fail "cannot read the root certificate $(root_certificate)"
    cat /etc/ssl/certs/ca-certificates.crt >>"$trusted" 2>/dev/null
    id=$(identity) || exit 1
    : >"$stage/payload.list.new"
    : >"$stage/origins.new"
    while read -r entry time kind path; do
        packed=$path
        origin="built here"
        if [ "$kind" = given ]; then
            origin="given: $path"
        fi
        if [ "$kind" = given ] && [ "$entry" -ge 1 ]; then
            rm -f "$stage/signature"  # osslsigncode writes no file that exists
            if osslsigncode extract-signature -in "$path" -out "$stage/signature" >/dev/null 2>&1; then
                osslsigncode verify -CAfile "$trusted" -in "$path" >"$stage/verify.log" 2>&1 ||
                    fail "entry $entry, $path: carries a signature that does not verify against the release's root or the system's certificates ($stage/verify.log)"
                origin="$origin, kept with its own signature"
            else
                packed="$stage/$entry-$(basename "$path")"
                source="$(sha256sum <"$path" | cut -c1-64) $(stat -c %y "$path") $id"
                if [ ! -f "$packed" ] || [ "$(cat "$packed.source" 2>/dev/null)" != "$source" ]; then
                    rm -f "$packed.source"
                    cp "$path" "$packed" || fail "cannot copy $path to $packed"
                    unsigned=$packed
                    sign_file "$packed"
                    unsigned=
                    echo "$source" >"$packed.source"
                fi
                origin="$origin, signed here as a staged copy"
            fi
        fi
        printf '%s %s\n' "$packed" "$time" >>"$stage/payload.list.new"
        printf '%s %s\n' "$entry" "$origin" >>"$stage/origins.new"
    done <"$stage/entries"
    rm -f "$stage/signature" "$stage/verify.log"
    # The list keeps its time while it stays the same: a new one packs again.
    if cmp -s "$stage/payload.list.new" "$stage/payload.list"; then
        rm -f "$stage/payload.list.new"
    else
        mv -f "$stage/payload.list.new" "$stage/payload.list"
    fi && mv -f "$stage/origins.new" "$stage/origins"
}

case "${1:-}" in
    prepare)
        if no_key; then
            make_test_certificate || fail "could not make the test certificate under $signing"
        fi
        select_key
        ;;
    identity)
        identity
        ;;
    file)
        [ -f "${2:-}" ] || fail "no file to sign: ${2:-}"
        unsigned=$2
        sign_file "$2"
        ;;
    is-test)
        no_key
        ;;
    root)
        root_certificate
        ;;
    given)
        [ $# -eq 5 ] || fail "usage: sign.sh given TOOL LIST BUILT-DIR STAGE-DIR"
        stage_given "$2" "$3" "$4" "$5"
        ;;
    *)
        fail "usage: sign.sh prepare | identity | file FILE | root | is-test | given TOOL LIST BUILT-DIR STAGE-DIR"
        ;;
esac
