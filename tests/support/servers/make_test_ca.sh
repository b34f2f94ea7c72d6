#!/bin/sh
# Makes a throw-away certificate authority and certificates for tests in DIR:
#   ca.crt                      the CA certificate (point SSL_CERT_FILE at it)
#   server.crt, server.key      signed by the CA, for 127.0.0.1 and localhost
#   selfsigned.crt, selfsigned.key   self-signed, same names, not trusted by the CA
# Usage: make_test_ca.sh DIR
set -eu
dir=${1:?usage: make_test_ca.sh DIR}
mkdir -p "$dir"
cd "$dir"
days=2
san="subjectAltName=IP:127.0.0.1,DNS:localhost"

openssl req -x509 -newkey rsa:2048 -nodes -days "$days" -subj "/CN=Flintor Test CA" \
    -keyout ca.key -out ca.crt \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null

openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout server.key -out server.csr 2>/dev/null
printf '%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" > server.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial \
    -days "$days" -extfile server.ext -out server.crt 2>/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -days "$days" -subj "/CN=localhost" \
    -keyout selfsigned.key -out selfsigned.crt -addext "$san" 2>/dev/null

rm -f server.csr server.ext ca.srl
