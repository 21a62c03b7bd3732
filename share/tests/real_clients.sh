#!/usr/bin/env bash
# Real clients against the shared file: curl with the secret (GET, HEAD,
# POST, IPv6 loopback) and without it (403, nothing else), headless Chromium
# trying it from a page of another origin (never the document), and the
# system's list of listening sockets, which must show loopback only.
# Usage: real_clients.sh SHARE_SERVE_PROGRAM   (a .exe runs under Wine)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
serve=$1

work=$(mktemp -d)
serve_pid=
page_pid=
cleanup() {
  exec 3>&- || true
  [ -n "$page_pid" ] && kill "$page_pid" 2>/dev/null || true
  if [ -n "$serve_pid" ]; then
    for _ in $(seq 100); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$serve_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A PDF-like file with every byte value in it.
python3 -c "
import random, sys
random.seed(7)
body = bytes(random.getrandbits(8) for _ in range(300000))
sys.stdout.buffer.write(b'%PDF-1.4\n' + body + b'\n%%EOF\n')" >"$work/tmp5A3F.pdf"

mkfifo "$work/stdin"
if [[ $serve == *.exe ]]; then
  source "$root/tools/wine-env.sh"
  target=$(winepath -w "$work/tmp5A3F.pdf" 2>/dev/null)
  "$root/tools/wine-run.sh" "$serve" "$target" <"$work/stdin" >"$work/out" 2>"$work/err" &
else
  "$serve" "$work/tmp5A3F.pdf" <"$work/stdin" >"$work/out" 2>"$work/err" &
fi
serve_pid=$!
exec 3>"$work/stdin"  # the server runs until this closes

for _ in $(seq 300); do [ -s "$work/out" ] && break; sleep 0.1; done
message=$(head -n1 "$work/out" | tr -d '\r')
port=$(sed -n 's/.*"port":"\([0-9]*\)".*/\1/p' <<<"$message")
secret=$(sed -n 's/.*"secret":"\([0-9a-f]*\)".*/\1/p' <<<"$message")
[ -n "$port" ] || fail "no message from the share action: $(cat "$work/err")"
expected="{\"POL\": \"Shared_complite\",\"port\":\"$port\",\"filename\":\"scan.pdf\",\"secret\":\"$secret\" }"
[ "$message" = "$expected" ] && [ ${#secret} = 64 ] || fail "message 7 is '$message'"
echo "shared on port $port"
auth="Authorization: Bearer $secret"

# curl with the secret: exact bytes, the header lines, HEAD and POST.
curl -sS -H "$auth" -o "$work/got.pdf" -D "$work/get.h" "http://127.0.0.1:$port/scan.pdf"
cmp "$work/tmp5A3F.pdf" "$work/got.pdf" || fail "GET bytes differ"
tr -d '\r' <"$work/get.h" >"$work/get.txt"
size=$(stat -c %s "$work/tmp5A3F.pdf")
for line in "HTTP/1.1 200 OK" "Connection: close" "Content-Disposition: attachment; filename=\"tmp5A3F.pdf\";" \
            "Content-Type: application/pdf" "Content-Length: $size" "Access-Control-Allow-Origin: *" \
            "Access-Control-Allow-Methods: GET, POST, PUT, DELETE" \
            "Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept"; do
  grep -qxF "$line" "$work/get.txt" || fail "GET header '$line' missing"
done
curl -sS -H "$auth" -I "http://127.0.0.1:$port/" | tr -d '\r' >"$work/head.txt"
grep -qxF "Content-Length: $size" "$work/head.txt" || fail "HEAD length"
curl -sS -H "authorization: bearer $secret" -X POST -d 'a=b' -o "$work/post.pdf" "http://127.0.0.1:$port/anything?x=1"
cmp "$work/tmp5A3F.pdf" "$work/post.pdf" || fail "POST bytes differ"
if ss -ltn | grep -q "\[::1\]:$port "; then
  curl -sS -g -H "$auth" -o "$work/got6.pdf" "http://[::1]:$port/"
  cmp "$work/tmp5A3F.pdf" "$work/got6.pdf" || fail "IPv6 GET bytes differ"
fi
# Without the secret, or with another: 403, an empty body, no cross-origin line.
wrong=$(tr '0-9a-f' '1-9a-f0' <<<"$secret")
for args in "" "-H|Authorization: Bearer $wrong" "-X|OPTIONS" "-X|POST|-d|a=b" "-X|HEAD"; do
  IFS='|' read -r -a extra <<<"$args"
  code=$(curl -sS "${extra[@]}" -D "$work/no.h" -o "$work/no.body" -w '%{http_code}' "http://127.0.0.1:$port/scan.pdf")
  [ "$code" = 403 ] || fail "without the secret ($args): $code"
  [ ! -s "$work/no.body" ] || fail "without the secret ($args): a body"
  grep -qi '^Access-Control-' "$work/no.h" && fail "without the secret ($args): a cross-origin line"
done
echo "curl: ok"

# Nothing listens on the port beyond loopback.
ss -ltnH "sport = :$port" >"$work/ss.txt"
[ -s "$work/ss.txt" ] || fail "nothing listens on $port"
while read -r _ _ _ local _; do
  case "$local" in
    127.0.0.1:$port | "[::1]:$port") ;;
    *) fail "listening on $local" ;;
  esac
done <"$work/ss.txt"
echo "ss: $(awk '{print $4}' "$work/ss.txt" | tr '\n' ' ')"

# Chromium: a page from another origin gets nothing, without the secret and
# even with it (the refused preflight stops its fetch); a reader that is no
# page, as the extension is, fetches it with the secret.
if command -v chromium >/dev/null; then
  mkdir "$work/site"
  cat >"$work/site/page.html" <<EOF
<!doctype html><html><body><pre id="out">pending</pre><script>
const url = "http://127.0.0.1:$port/scan.pdf";
const tell = r => r.ok ? r.arrayBuffer().then(b => "bytes=" + b.byteLength) : "status=" + r.status;
Promise.all([
  fetch(url).then(tell, e => "error"),
  fetch(url, {headers: {Authorization: "Bearer $secret"}}).then(tell, e => "error"),
]).then(([plain, withSecret]) => {
  document.getElementById("out").textContent = "plain=" + plain + " with-secret=" + withSecret; });
</script></body></html>
EOF
  page_port=$(python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])")
  python3 -m http.server "$page_port" --bind 127.0.0.1 --directory "$work/site" >/dev/null 2>&1 3>&- &
  page_pid=$!
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$page_port/page.html" && break; sleep 0.1; done
  timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir="$work/profile" \
      --virtual-time-budget=20000 --dump-dom "http://127.0.0.1:$page_port/page.html" \
      >"$work/dom.html" 2>/dev/null 3>&- || true
  grep -q "plain=error with-secret=error" "$work/dom.html" ||
    fail "Chromium fetch: $(grep -o 'id="out">[^<]*' "$work/dom.html" || echo no page)"
  echo "chromium: a page of another origin got nothing, with the secret or without"
else
  echo "chromium: not installed, skipped"
fi

exec 3>&-
for _ in $(seq 100); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
wait "$serve_pid" || fail "share_serve failed: $(cat "$work/err")"
serve_pid=
cat "$work/err"
echo "PASS"
