#!/bin/sh
# Starts or stops the update tests' loopback HTTPS server (Python, ssl) for
# the Windows test programs, which reach it on 127.0.0.1. The folder gets
# ca.pem (the throwaway CA), rogue.pem (a CA that signed nothing), port and
# requests.log. Without the tools it holds "missing", or under CI this fails.
set -eu
action="$1"
dir="$2"
here=$(cd "$(dirname "$0")" && pwd)

if [ "$action" = stop ]; then
  for pid in "$dir/pid" "$dir/self/pid"; do
    [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true
    rm -f "$pid"
  done
  exit 0
fi

. "$here/fresh_folder.sh"
fresh_folder "$dir" python3 openssl

cd "$dir"
{
  openssl ecparam -name prime256v1 -genkey -noout -out ca.key
  openssl req -x509 -new -key ca.key -subj "/CN=Pakforge loopback test CA" -days 2 -out ca.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl ecparam -name prime256v1 -genkey -noout -out rogue.key
  openssl req -x509 -new -key rogue.key -subj "/CN=Pakforge loopback test CA" -days 2 -out rogue.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl ecparam -name prime256v1 -genkey -noout -out server.key
  openssl req -new -key server.key -subj "/CN=127.0.0.1" -out server.csr
  # Wine's certificate check matches the host against DNS names only, so the
  # address is named both ways.
  printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out server.pem -extfile ext
  # A second server whose certificate signed itself, for 127.0.0.1 all the
  # same: the extra CA must not make any unknown root acceptable.
  mkdir self
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout self/server.key \
    -subj "/CN=127.0.0.1" -days 2 -out self/server.pem -addext "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1"
} > openssl.log 2>&1 || { cat openssl.log >&2; exit 1; }

serve() { # folder
  echo newer > "$1/case"
  : > "$1/requests.log"
  python3 "$here/../update/loopback_server.py" --dir "$1" > /dev/null 2> "$1/server.err" &
  echo $! > "$1/pid"
  tries=0
  while [ ! -f "$1/port" ]; do
    if ! kill -0 "$(cat "$1/pid")" 2>/dev/null; then
      cat "$1/server.err" >&2
      exit 1
    fi
    tries=$((tries + 1))
    [ "$tries" -gt 200 ] && { echo "the loopback server did not start" >&2; exit 1; }
    sleep 0.1
  done
}
serve "$dir"
serve "$dir/self"
