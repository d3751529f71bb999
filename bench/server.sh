#!/usr/bin/env bash
# The loopback server beside nginx (sendfile on, keep-alive off), same files, same run:
# one and four parallel 1 GiB downloads with curl, the page route under wrk, and the
# server's peak memory with a 4 GiB file against a 1 KiB one. Prints ratios ours/nginx.
# Usage: bench/server.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/server.sh BUILD_DIR}
serve_tool="$build/vexmoor-serve-file"
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as another user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

page_bytes=4096
mkdir -p "$work/site/t"
dd if=/dev/zero of="$work/site/t/model.bin" bs=1M count=1024 status=none
head -c "$page_bytes" /dev/zero | tr '\0' p >"$work/site/t/open"
cat "$work/site/t/model.bin" >/dev/null  # warm the page cache for both

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_nginx() {
  local port; port=$(free_port)
  cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  keepalive_timeout 0;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/site; }
}
CONF
  nginx -c "$work/nginx.conf" -e "$work/nginx-error.log" &
  pids+=($!)
  sleep 0.5
  nginx_file="http://127.0.0.1:$port/t/model.bin"
  nginx_page="http://127.0.0.1:$port/t/open"
}

# Starts our server on PATH; sets ours_file and ours_page.
start_ours() {
  "$serve_tool" "$1" >"$work/urls" &
  ours_pid=$!
  pids+=($ours_pid)
  for _ in $(seq 50); do [ "$(wc -l <"$work/urls")" -ge 2 ] && break; sleep 0.1; done
  ours_file=$(sed -n 1p "$work/urls")
  ours_page=$(sed -n 2p "$work/urls")
}

median() { python3 -c "import statistics,sys; print(statistics.median(map(float, sys.argv[1:])))" "$@"; }

# Bytes per second of one download from each of two servers, alternating between them so
# that both see the same machine; median of seven each. Prints "RATE_A RATE_B".
single_rates() {
  local a=() b=()
  for _ in 1 2 3 4 5 6 7; do
    a+=("$(curl -s -o /dev/null -w '%{speed_download}' "$1")")
    b+=("$(curl -s -o /dev/null -w '%{speed_download}' "$2")")
  done
  echo "$(median "${a[@]}") $(median "${b[@]}")"
}

# Bytes per second of four parallel downloads.
parallel_rate() {
  local start end
  start=$(date +%s.%N)
  local clients=()
  for _ in 1 2 3 4; do curl -s -o /dev/null "$1" & clients+=($!); done
  wait "${clients[@]}"
  end=$(date +%s.%N)
  python3 -c "print(4 * 1024**3 / ($end - $start))"
}

parallel_rates() {
  local a=() b=()
  for _ in 1 2 3 4 5; do
    a+=("$(parallel_rate "$1")")
    b+=("$(parallel_rate "$2")")
  done
  echo "$(median "${a[@]}") $(median "${b[@]}")"
}

requests_per_second() {
  wrk -t2 -c32 -d5s "$1" | awk '/Requests\/sec/ {print $2}'
}

ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
gb() { python3 -c "print(f'{$1 / 1e9:.2f} GB/s')"; }

start_nginx
start_ours "$work/site/t/model.bin"

read -r n1 o1 <<<"$(single_rates "$nginx_file" "$ours_file")"
echo "one 1 GiB download:    nginx $(gb "$n1")   ours $(gb "$o1")   ratio $(ratio "$o1" "$n1")"

read -r n4 o4 <<<"$(parallel_rates "$nginx_file" "$ours_file")"
echo "four parallel:         nginx $(gb "$n4")   ours $(gb "$o4")   ratio $(ratio "$o4" "$n4")"

nr=$(requests_per_second "$nginx_page"); or=$(requests_per_second "$ours_page")
echo "page route, wrk -c32:  nginx $nr req/s   ours $or req/s   ratio $(ratio "$or" "$nr")"

# Peak resident memory of our server after serving a file completely.
peak_kib_after_download() {
  start_ours "$1"
  curl -s -o /dev/null "$ours_file"
  awk '/VmHWM/ {print $2}' "/proc/$ours_pid/status"
  kill "$ours_pid"
}
truncate -s 4G "$work/big.bin"
head -c 1024 /dev/zero >"$work/small.bin"
small=$(peak_kib_after_download "$work/small.bin")
big=$(peak_kib_after_download "$work/big.bin")
echo "peak memory:           1 KiB file ${small} KiB   4 GiB file ${big} KiB   difference $((big - small)) KiB"
