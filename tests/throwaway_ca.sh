# Sourced by the signing tests: make_throwaway_ca DIR makes, with openssl, a throw-away CA and
# certificates it issued, valid for two days, and writes to DIR:
#   ca.crt        the CA's certificate, to verify against
#   other-ca.crt  a second CA that issued nothing, which must not vouch for anything
#   signer.p12    a code-signing certificate, its chain and key, as scripts/release.sh takes them
#   password.txt  signer.p12's password, and a newline
#   tsa.cnf       an `openssl ts -reply` configuration that signs with a time-stamping
#                 certificate of the CA (tsa.crt, tsa.key), for tests/timestamp_server.py
# Nothing of it outlives DIR; nothing secret is committed.
make_throwaway_ca() {
  local dir=$1 name
  for name in ca other-ca; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throw-away $name" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -keyout "$dir/$name.key" -out "$dir/$name.crt" 2>/dev/null
  done
  issue_from_ca "$dir" signer "Throw-away code signer" codeSigning
  printf 'throw-away %s\n' "$RANDOM$RANDOM" >"$dir/password.txt"
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.crt" -certfile "$dir/ca.crt" \
    -passout "file:$dir/password.txt" -out "$dir/signer.p12"

  issue_from_ca "$dir" tsa "Throw-away time-stamp server" critical,timeStamping
  echo 01 >"$dir/tsa.serial"
  printf '%s\n' "[ tsa ]" "default_tsa = throwaway" "[ throwaway ]" \
    "serial = $dir/tsa.serial" "signer_cert = $dir/tsa.crt" "signer_key = $dir/tsa.key" \
    "certs = $dir/ca.crt" "signer_digest = sha256" "default_policy = 1.2.3.4.1" \
    "digests = sha1, sha256, sha384, sha512" "accuracy = secs:1" "ess_cert_id_alg = sha256" \
    >"$dir/tsa.cnf"
}

# issue_from_ca DIR NAME SUBJECT EXTENDED_KEY_USAGE: DIR/NAME.key and DIR/NAME.crt, issued by
# DIR/ca.
issue_from_ca() {
  local dir=$1 name=$2
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$3" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' \
    "$4" >"$dir/$name.ext"
  openssl x509 -req -days 2 -in "$dir/$name.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -extfile "$dir/$name.ext" -out "$dir/$name.crt" 2>/dev/null
}
