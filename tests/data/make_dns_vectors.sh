#!/usr/bin/env bash
# Captures real DNS replies from Debian's dnsmasq as the DNS parser's test vectors.
# dnsmasq listens on loopback only and forwards nothing (--no-resolv), so no query leaves
# this machine. Needs dnsmasq-base and python3. Usage: make_dns_vectors.sh [PORT]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)/dns"
port="${1:-53535}"
work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

{
  echo "192.0.2.10 www.example.test"
  echo "192.0.2.20 host.example.test"
  echo "192.0.2.21 host.example.test"
  echo "192.0.2.30 mail.example.test"
  echo "2001:db8::6 v6.example.test"
  for i in $(seq 1 24); do echo "198.51.100.$i many.example.test"; done
} > "$work/hosts"

dnsmasq --no-daemon --keep-in-foreground --conf-file=/dev/null --no-hosts --no-resolv \
  --addn-hosts="$work/hosts" --listen-address=127.0.0.1 --bind-interfaces --port="$port" \
  --local=/example.test/ --local=/2.0.192.in-addr.arpa/ \
  --cname=web.example.test,mid.example.test --cname=mid.example.test,host.example.test \
  --mx-host=example.test,mail.example.test,10 \
  --txt-record=txt.example.test,"hello" --user=root --pid-file="$work/pid" \
  > "$work/log" 2>&1 &
pid=$!
sleep 0.5

/usr/bin/env python3 - "$port" "$here" <<'PY'
import socket, struct, sys
port, out = int(sys.argv[1]), sys.argv[2]

def query(name, qtype, edns=False, qid=0x4b1d):
    msg = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 1 if edns else 0)
    for label in name.split("."):
        msg += bytes([len(label)]) + label.encode()
    msg += b"\0" + struct.pack(">HH", qtype, 1)
    if edns:
        msg += b"\0" + struct.pack(">HHIH", 41, 1232, 0, 0)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.sendto(msg, ("127.0.0.1", port))
    reply, _ = s.recvfrom(65535)
    s.close()
    return reply

vectors = [
    ("a_single", "www.example.test", 1, False),
    ("a_cname_chain", "web.example.test", 1, False),
    ("a_many", "many.example.test", 1, False),
    ("a_edns", "host.example.test", 1, True),
    ("nxdomain", "nothere.example.test", 1, False),
    ("aaaa_only", "v6.example.test", 28, False),
    ("mx_with_glue", "example.test", 15, False),
    ("txt", "txt.example.test", 16, False),
    ("ptr", "10.2.0.192.in-addr.arpa", 12, False),
]
for fname, name, qtype, edns in vectors:
    with open(f"{out}/{fname}.bin", "wb") as f:
        f.write(query(name, qtype, edns))
PY
echo "captured into $here"
