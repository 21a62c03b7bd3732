#!/usr/bin/env bash
# Throughput and latency of the share server (native release build) against
# nginx serving the same 5 MB PDF on loopback, side by side in one run: wrk at
# 1, 16 and 64 connections, each run repeated (default 3 times, 5 s each) and
# the medians reported. nginx closes every connection too (keepalive_timeout
# 0), as the share server answers one request per connection.
# Usage: wrk_vs_nginx.sh [repeats] [seconds]   (CONNS="16" limits the connection counts)
set -euo pipefail
cd "$(dirname "$0")/../.."
repeats=${1:-3}
seconds=${2:-5}
for p in wrk nginx; do
  command -v "$p" >/dev/null || [ -x "/usr/sbin/$p" ] || { echo "install $p (apt-get install wrk nginx-light)"; exit 1; }
done
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKAN_SANITIZE=OFF >/dev/null
cmake --build "$build" -j2 --target share_serve >/dev/null

work=$(mktemp -d)
serve_pid= nginx_pid=
cleanup() {
  exec 3>&- || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  [ -n "$serve_pid" ] && { sleep 0.5; kill "$serve_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

head -c 5242880 /dev/urandom >"$work/tmp5A3F.pdf"
chmod 755 "$work"; chmod 644 "$work/tmp5A3F.pdf"  # nginx workers read it as another user
mkfifo "$work/stdin"
"$build/share/tests/share_serve" "$work/tmp5A3F.pdf" <"$work/stdin" >"$work/out" 2>"$work/err" &
serve_pid=$!
exec 3>"$work/stdin"
for _ in $(seq 100); do [ -s "$work/out" ] && break; sleep 0.1; done
share_port=$(sed -n 's/.*"port":"\([0-9]*\)".*/\1/p' "$work/out")
# The share server answers only with the secret of its message; nginx ignores the header.
auth="Authorization: Bearer $(sed -n 's/.*"secret":"\([0-9a-f]*\)".*/\1/p' "$work/out")"

nginx_port=$(python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])")
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { application/pdf pdf; }
  server {
    listen 127.0.0.1:$nginx_port;
    root $work;
    location / {
      add_header Access-Control-Allow-Origin *;
      try_files /tmp5A3F.pdf =404;
    }
  }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" 3>&- &
nginx_pid=$!
sleep 0.5
curl -s -H "$auth" -o "$work/check" "http://127.0.0.1:$share_port/scan.pdf"; cmp "$work/check" "$work/tmp5A3F.pdf" || { echo "share server answer differs: $(cat "$work/err")"; exit 1; }
curl -s -o "$work/check" "http://127.0.0.1:$nginx_port/scan.pdf"; cmp "$work/check" "$work/tmp5A3F.pdf" || { echo "nginx answer differs: $(cat "$work/nginx/error.log")"; exit 1; }

results="$work/results.txt"
for c in ${CONNS:-1 16 64}; do
  t=$([ "$c" -eq 1 ] && echo 1 || echo 2)
  for r in $(seq "$repeats"); do
    for name in share nginx; do
      port=$([ "$name" = share ] && echo "$share_port" || echo "$nginx_port")
      out=$(wrk -t"$t" -c"$c" -d"${seconds}s" --latency -H "$auth" "http://127.0.0.1:$port/scan.pdf" 3>&-)
      rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
      p50=$(awk '$1=="50%" {print $2}' <<<"$out")
      p99=$(awk '$1=="99%" {print $2}' <<<"$out")
      errs=$(awk '/Socket errors|Non-2xx/ {print}' <<<"$out" | tr '\n' ' ')
      echo "$name $c $r $rps $p50 $p99 $errs" | tee -a "$results"
    done
  done
done

python3 - "$results" <<'PY'
import statistics, sys
def ms(t):
    for unit, f in (("us", 0.001), ("ms", 1.0), ("s", 1000.0)):
        if t.endswith(unit):
            return float(t[:-len(unit)]) * f
    return float(t)
rows = {}
for line in open(sys.argv[1]):
    p = line.split()
    rows.setdefault((p[0], int(p[1])), []).append((float(p[3]), ms(p[4]), ms(p[5])))
print("\nmedians (requests/s, latency p50 and p99 in ms), 5 MB file, one request per connection")
print(f"{'conns':>5} {'share req/s':>12} {'nginx req/s':>12} {'ratio':>6} {'share p50':>10} {'nginx p50':>10} {'share p99':>10} {'nginx p99':>10}")
for c in sorted({k[1] for k in rows}):
    s = rows[("share", c)]; n = rows[("nginx", c)]
    med = lambda v, i: statistics.median(x[i] for x in v)
    print(f"{c:>5} {med(s,0):>12.1f} {med(n,0):>12.1f} {med(s,0)/med(n,0):>6.0%} {med(s,1):>10.2f} {med(n,1):>10.2f} {med(s,2):>10.2f} {med(n,2):>10.2f}")
PY
