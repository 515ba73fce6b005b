#!/usr/bin/env bash
# tools/test-ca on GOST requests made by openssl's GOST engine, checked with certtool.
# Usage: test-ca-test.sh TEST_CA CASE
set -euo pipefail
test_ca="$1"
case_name="$2"

dir=$(mktemp -d "${TMPDIR:-/tmp}/certdesk-test-ca-test.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"
export HOME="$dir/home" XDG_DATA_HOME="$dir/xdg"
unset CERTDESK_TEST_CA_DIR
mkdir -p "$HOME"

fail() {
    echo "FAIL ($case_name): $*" >&2
    exit 1
}

subject='/CN=ООО Ромашка/C=RU/ST=77 г. Москва/L=Москва/INN=007701234567/OGRN=1027700132195/SN=Иванов/GN=Иван Иванович/unstructuredName=КПП=770101001'
# request NAME FORMAT [EKU]: a GOST R 34.10-2012-256 request with the program's key usage.
request() {
    local name="$1" form="$2" eku="${3:-}"
    local ext=(-addext "keyUsage=digitalSignature,keyEncipherment,dataEncipherment,nonRepudiation")
    [[ -z "$eku" ]] || ext+=(-addext "extendedKeyUsage=$eku")
    openssl req -engine gost -new -newkey gost2012_256 -pkeyopt paramset:A -nodes \
        -keyout "$name.key" -utf8 -subj "$subject" "${ext[@]}" -outform "$form" \
        -out "$name.req" >"$name.log" 2>&1 || fail "openssl req: $(cat "$name.log")"
}

# check CERT REQUEST CA_DIR MONTHS: the certificate is the request's, from the CA, for MONTHS.
check() {
    local cert="$1" req="$2" ca="$3" months="$4"
    local req_format=(--inder)
    grep -q -- '-----BEGIN' "$req" && req_format=()
    [[ -f "$cert" ]] || fail "no certificate $cert"
    certtool --certificate-info --inder --infile "$cert" >cert.txt 2>&1 ||
        fail "certtool cannot read $cert: $(cat cert.txt)"
    certtool --crq-info "${req_format[@]}" --infile "$req" >req.txt 2>&1
    [[ "$(grep -m1 '^	Subject:' cert.txt)" == "$(grep -m1 '^	Subject:' req.txt)" ]] ||
        fail "subject differs: $(grep -m1 Subject: cert.txt) / $(grep -m1 Subject: req.txt)"
    grep -q '^	Issuer: CN=CertDesk test CA' cert.txt || fail "issuer: $(grep Issuer: cert.txt)"
    [[ "$(grep -A1 'Public Key ID:' cert.txt | tail -1)" == \
        "$(grep -A1 'Public Key ID:' req.txt | tail -1)" ]] || fail "another public key"
    for usage in "Digital signature." "Key encipherment." "Data encipherment." \
        "Non repudiation."; do
        grep -qF "$usage" cert.txt || fail "key usage $usage missing"
    done
    grep -q 'Certificate Authority (CA): FALSE' cert.txt || fail "not an end-entity certificate"
    # INN keeps its NumericString, as the program's installation reads it.
    openssl asn1parse -inform DER -in "$cert" | grep -A1 ':INN$' | grep -q 'NUMERICSTRING *:007701234567' ||
        fail "INN is not a NumericString"
    openssl x509 -inform DER -in "$cert" -out cert.pem
    certtool --verify --load-ca-certificate "$ca/ca.pem" --infile cert.pem >verify.txt 2>&1 ||
        fail "does not verify against the CA: $(cat verify.txt)"
    local not_before not_after expected
    not_before=$(sed -n 's/^[[:space:]]*Not Before: //p' cert.txt)
    not_after=$(sed -n 's/^[[:space:]]*Not After: //p' cert.txt)
    expected=$(date -u -d "$(date -u -d "$not_before" '+%Y-%m-%d %H:%M:%S') UTC + $months months" +%s)
    [[ "$(date -u -d "$not_after" +%s)" == "$expected" ]] ||
        fail "validity $not_before .. $not_after is not $months months"
    (($(date -u +%s) - $(date -u -d "$not_before" +%s) < 300)) || fail "does not start now: $not_before"
}

eku_base="1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,1.2.643.5.1.28.4,1.2.643.3.6.78.4.5"

case "$case_name" in
    months_6 | months_13 | months_1)
        months="${case_name#months_}"
        request r DER "$eku_base,1.2.643.3.6.0.$months"
        "$test_ca" --ca-dir ca r.req >out.txt
        grep -qF "r.cer" out.txt || fail "does not say where: $(cat out.txt)"
        check r.cer r.req ca "$months"
        grep -q '1.2.643.3.6.0.'"$months"'$' cert.txt || fail "extended key usage not copied"
        ;;
    months_not_last)
        # The token's own list carries 1.2.643.3.6.0.15, but not at its end.
        request r DER "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,1.2.643.5.1.28.4,1.2.643.3.6.0.15,1.2.643.3.6.78.4.5"
        "$test_ca" --ca-dir ca r.req >/dev/null
        check r.cer r.req ca 12
        ;;
    no_eku_pem_default_ca)
        request r PEM
        mv r.req r.pem
        "$test_ca" r.pem out/issued.cer >/dev/null
        check out/issued.cer r.pem "$XDG_DATA_HOME/certdesk-test-ca" 12
        [[ -f "$XDG_DATA_HOME/certdesk-test-ca/ca.cer" ]] || fail "no DER CA certificate"
        ;;
    ca_made_once)
        request a DER
        request b DER "$eku_base,1.2.643.3.6.0.3"
        CERTDESK_TEST_CA_DIR="$dir/envca" "$test_ca" a.req >/dev/null
        cp envca/ca.pem first-ca.pem
        CERTDESK_TEST_CA_DIR="$dir/envca" "$test_ca" b.req >/dev/null
        cmp -s first-ca.pem envca/ca.pem || fail "the CA was made again"
        check a.cer a.req envca 12
        check b.cer b.req envca 3
        ;;
    not_a_request | broken_signature | missing_file)
        case "$case_name" in
            not_a_request) printf 'not a request\n' >r.req ;;
            broken_signature)
                request r DER
                # Flip the last byte, which lies in the request's signature.
                size=$(stat -c %s r.req)
                last=$(od -An -tu1 -j $((size - 1)) r.req | tr -d ' ')
                head -c $((size - 1)) r.req >bad.req
                printf "\\$(printf '%03o' $((last ^ 1)))" >>bad.req
                mv bad.req r.req
                ;;
            missing_file) ;;
        esac
        if "$test_ca" --ca-dir ca r.req >out.txt 2>err.txt; then
            fail "accepted a bad request"
        fi
        [[ -s err.txt ]] || fail "no message"
        [[ ! -e r.cer ]] || fail "wrote a certificate for a bad request"
        ;;
    *) fail "unknown case" ;;
esac
echo "ok: $case_name"
