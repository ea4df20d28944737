# shellcheck shell=bash
# Sourced by the signing tests: make_throwaway_ca DIR makes, with openssl, a throw-away root CA,
# an intermediate CA under it, and certificates they issued, valid for two days, and writes to
# DIR:
#   ca.crt         the root's certificate, the trust anchor to verify against
#   other-ca.crt   a second root that issued nothing, which must not vouch for anything
#   signer.p12     a code-signing certificate from the intermediate, with the intermediate, the
#                  root and the key, as scripts/release.sh takes them
#   server.p12     the same, but for a certificate whose extended key usage is serverAuth only
#   no-intermediate.p12
#                  the code-signing certificate with the root but without the intermediate
#   expired.p12    a code-signing certificate that expired a day before it was issued
#   password.txt   the .p12 files' password and a newline, readable by its owner alone
#   tsa.cnf        an `openssl ts -reply` configuration that signs with a time-stamping
#                  certificate of the root (tsa.crt, tsa.key), for timestamp_server.py
# make_throwaway_token DIR then adds a SoftHSM2 token in DIR/token whose key the intermediate
# certified. Nothing of it outlives DIR; nothing secret is committed, and no password or PIN is
# ever an argument of a command (but softhsm2-util's, which takes it no other way).
make_throwaway_ca() {
  local dir=$1 name
  for name in ca other-ca; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throw-away $name" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -keyout "$dir/$name.key" -out "$dir/$name.crt" 2>/dev/null
  done
  openssl req -newkey rsa:2048 -nodes -subj "/CN=Throw-away intermediate" \
    -keyout "$dir/intermediate.key" -out "$dir/intermediate.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n' \
    >"$dir/intermediate.ext"
  openssl x509 -req -days 2 -in "$dir/intermediate.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -extfile "$dir/intermediate.ext" -out "$dir/intermediate.crt" 2>/dev/null
  cat "$dir/intermediate.crt" "$dir/ca.crt" >"$dir/chain.pem"

  issue_from "$dir" intermediate signer "Throw-away code signer" codeSigning
  issue_from "$dir" intermediate server "Throw-away server" serverAuth
  (umask 077 && printf 'throw-away %s\n' "$RANDOM$RANDOM" >"$dir/password.txt")
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.crt" -certfile "$dir/chain.pem" \
    -passout "file:$dir/password.txt" -out "$dir/signer.p12"
  openssl pkcs12 -export -inkey "$dir/server.key" -in "$dir/server.crt" -certfile "$dir/chain.pem" \
    -passout "file:$dir/password.txt" -out "$dir/server.p12"
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.crt" -certfile "$dir/ca.crt" \
    -passout "file:$dir/password.txt" -out "$dir/no-intermediate.p12"
  openssl x509 -req -days -1 -in "$dir/signer.csr" -CA "$dir/intermediate.crt" \
    -CAkey "$dir/intermediate.key" -CAcreateserial -extfile "$dir/signer.ext" -out "$dir/expired.crt" 2>/dev/null
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/expired.crt" -certfile "$dir/chain.pem" \
    -passout "file:$dir/password.txt" -out "$dir/expired.p12"

  issue_from "$dir" ca tsa "Throw-away time-stamp server" critical,timeStamping
  echo 01 >"$dir/tsa.serial"
  printf '%s\n' "[ tsa ]" "default_tsa = throwaway" "[ throwaway ]" \
    "serial = $dir/tsa.serial" "signer_cert = $dir/tsa.crt" "signer_key = $dir/tsa.key" \
    "certs = $dir/ca.crt" "signer_digest = sha256" "default_policy = 1.2.3.4.1" \
    "digests = sha1, sha256, sha384, sha512" "accuracy = secs:1" "ess_cert_id_alg = sha256" \
    >"$dir/tsa.cnf"
}

# make_throwaway_token DIR (after make_throwaway_ca DIR): a SoftHSM2 token of its own, in
# DIR/token, holding an RSA-3072 key made on the token, so that it never exists as a file, and
# the intermediate's code-signing certificate for it. Exports SOFTHSM2_CONF, which tells SoftHSM2
# (in whatever process loads it) where the token is, and sets:
#   token_module  the PKCS#11 library;  token_key  the key's pkcs11: URI;
#   token_cert    the certificate, the intermediate's and the root's (PEM);
#   token_pin     a file holding the PIN, readable by its owner alone.
make_throwaway_token() {
  local dir=$1
  token_module=/usr/lib/softhsm/libsofthsm2.so   # where Debian's libsofthsm2 puts it
  token_key="pkcs11:token=spr-throwaway;object=code-signer;type=private"
  token_cert=$dir/token-chain.pem
  token_pin=$dir/pin.txt
  mkdir "$dir/token"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$dir/token" >"$dir/softhsm2.conf"
  export SOFTHSM2_CONF=$dir/softhsm2.conf
  local pin=$RANDOM$RANDOM
  (umask 077 && printf '%s\n' "$pin" >"$token_pin")
  softhsm2-util --init-token --free --label spr-throwaway --pin "$pin" --so-pin "$RANDOM$RANDOM" \
    >/dev/null
  # pkcs11-tool and OpenSSL read the PIN from the environment ("env:"), not from their arguments.
  SPR_TOKEN_PIN=$pin pkcs11-tool --module "$token_module" --token-label spr-throwaway --login \
    --pin env:SPR_TOKEN_PIN --keypairgen --key-type rsa:3072 --label code-signer --id 01 >/dev/null
  # The certificate request is signed on the token, through OpenSSL's PKCS#11 engine.
  SPR_TOKEN_PIN=$pin PKCS11_MODULE_PATH=$token_module openssl req -new -engine pkcs11 -keyform engine \
    -key "$token_key" -passin env:SPR_TOKEN_PIN -subj "/CN=Throw-away token code signer" \
    -out "$dir/token-signer.csr" 2>/dev/null
  issue_from "$dir" intermediate token-signer "" codeSigning "$dir/token-signer.csr"
  cat "$dir/token-signer.crt" "$dir/chain.pem" >"$token_cert"
}

# issue_from DIR CA NAME SUBJECT EXTENDED_KEY_USAGE [CSR]: DIR/NAME.crt, issued by DIR/CA, for
# the key of the request CSR, else for a new key DIR/NAME.key.
issue_from() {
  local dir=$1 ca=$2 name=$3
  [ -n "${6:-}" ] || openssl req -newkey rsa:2048 -nodes -subj "/CN=$4" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' \
    "$5" >"$dir/$name.ext"
  openssl x509 -req -days 2 -in "${6:-$dir/$name.csr}" -CA "$dir/$ca.crt" -CAkey "$dir/$ca.key" \
    -CAcreateserial -extfile "$dir/$name.ext" -out "$dir/$name.crt" 2>/dev/null
}
