# Sourced by the signing tests: make_throwaway_ca DIR makes, with openssl, a throw-away CA and a
# code-signing certificate it issued, valid for two days, and writes to DIR:
#   ca.crt        the CA's certificate, to verify against
#   other-ca.crt  a second CA that issued nothing, which must not vouch for anything
#   signer.p12    the signer's certificate, chain and key, as scripts/release.sh takes them
#   password.txt  signer.p12's password, on the first line
# Nothing of it outlives DIR; nothing secret is committed.
make_throwaway_ca() {
  local dir=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throw-away test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>/dev/null
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throw-away other CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/other-ca.key" -out "$dir/other-ca.crt" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Throw-away code signer" \
    -keyout "$dir/signer.key" -out "$dir/signer.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
    >"$dir/signer.ext"
  openssl x509 -req -days 2 -in "$dir/signer.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -extfile "$dir/signer.ext" -out "$dir/signer.crt" 2>/dev/null
  printf 'throw-away %s\n' "$RANDOM$RANDOM" >"$dir/password.txt"
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.crt" -certfile "$dir/ca.crt" \
    -passout "file:$dir/password.txt" -out "$dir/signer.p12"
}
