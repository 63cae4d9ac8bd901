#!/usr/bin/env bash
# The signing step of the package build with a throwaway certificate: it signs and verifies the agent
# and the package, and a program tampered with after signing fails verification.
#   SigningTest.sh <build folder> <source folder>
set -uo pipefail
BUILD="$1"
SOURCE="$2"
WORK="$BUILD/signing-test"
fail() { echo "FAILED: $*"; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || fail "no work folder"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Halyard throwaway signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out certificate.pem 2>/dev/null || fail "openssl req"
openssl pkcs12 -export -inkey key.pem -in certificate.pem -passout pass:throwaway -out certificate.p12 ||
    fail "openssl pkcs12"
cp "$BUILD/bin/Halyard.exe" "$BUILD"/package/Halyard-*-x64.msi .
for file in Halyard.exe Halyard-*-x64.msi; do
    HALYARD_SIGNING_PASSWORD=throwaway cmake -DFILES="$WORK/$file" -DCERTIFICATE=certificate.p12 \
        -DCA_FILE=certificate.pem -P "$SOURCE/cmake/Sign.cmake" >/dev/null || fail "the signing step failed for $file"
    osslsigncode verify -CAfile certificate.pem -in "$file" >/dev/null 2>&1 || fail "$file does not verify"
done

# One byte of the code changed after signing.
OFFSET=$(($(stat -c %s Halyard.exe) / 3))
printf '\x90' | dd of=Halyard.exe bs=1 seek="$OFFSET" conv=notrunc status=none
if osslsigncode verify -CAfile certificate.pem -in Halyard.exe >/dev/null 2>&1; then
    fail "a tampered Halyard.exe still verifies"
fi
echo "Signed and verified; the tampered copy fails verification."
