#!/usr/bin/env bash
# The loopback server beside nginx (sendfile on, keep-alive off), same files, same run:
# one and four parallel 1 GiB downloads with curl, the page route under wrk, and the
# server's peak memory with a 4 GiB file against a 1 KiB one. Each row alternates the two
# for ROUNDS rounds (7 unless set) and prints the median ratio ours/nginx and its range.
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

rounds=${ROUNDS:-7}
rate() { curl -s -o /dev/null -w '%{speed_download}' "$1"; }

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

requests_per_second() {
  wrk -t2 -c32 -d3s "$1" | awk '/Requests\/sec/ {print $2}'
}

# Runs MEASURE on nginx's address and ours in turn, the one to go first changing every
# round, so that both see the same machine; prints the row.
row() {
  local label=$1 unit=$2 scale=$3 measure=$4 theirs_url=$5 ours_url=$6 theirs=() ours=()
  for round in $(seq "$rounds"); do
    if ((round % 2)); then
      theirs+=("$($measure "$theirs_url")"); ours+=("$($measure "$ours_url")")
    else
      ours+=("$($measure "$ours_url")"); theirs+=("$($measure "$theirs_url")")
    fi
  done
  python3 "$(dirname "$0")/ratios.py" "$label" "$unit" "$scale" nginx "${theirs[*]}" "${ours[*]}"
}

start_nginx
start_ours "$work/site/t/model.bin"

row "one 1 GiB download:" GB/s 1e9 rate "$nginx_file" "$ours_file"
row "four parallel:" GB/s 1e9 parallel_rate "$nginx_file" "$ours_file"
row "page route, wrk -c32:" req/s 1 requests_per_second "$nginx_page" "$ours_page"

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
