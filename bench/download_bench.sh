#!/usr/bin/env bash
# Download throughput of the launcher's client against curl, in one run.
#
# Serves FILES files of SIZE_MIB MiB from a local nginx on a free loopback
# port, then fetches all of them with `TinderhallowTool fetch-many` (8 threads,
# each keeping one downloader and so one connection) and with
# `curl --parallel --parallel-max 8`, ROUNDS times each, alternating, and
# prints the best throughput of each and their ratio (target: >= 0.7).
# The last line, "RESULT key=value ...", repeats the figures for bench/run.
#
# Usage: bench/download_bench.sh [BUILD_DIR]   (default: build/)
# Environment: FILES (200), SIZE_MIB (5), THREADS (8), ROUNDS (3).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
files="${FILES:-200}"
size_mib="${SIZE_MIB:-5}"
threads="${THREADS:-8}"
rounds="${ROUNDS:-3}"
tool="$build/TinderhallowTool.exe"
prefix="$build/wineprefix"
[ -f "$tool" ] || { echo "no $tool: build first" >&2; exit 2; }
command -v nginx >/dev/null || { echo "nginx is not installed" >&2; exit 2; }
nginx_bin="$(command -v nginx)"

work="$(mktemp -d /tmp/th_download_bench.XXXXXX)"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The release: one random file, hard-linked under every name (the page cache
# holds it once, so both clients read the same warm data).
mkdir -p "$work/www/release" "$work/nginx" "$work/out"
head -c "$((size_mib * 1048576))" /dev/urandom > "$work/www/release/.blob"
: > "$work/list.txt"
: > "$work/curl.cfg"
for i in $(seq -f "%03g" 1 "$files"); do
    ln "$work/www/release/.blob" "$work/www/release/file_$i.pak"
    echo "file_$i.pak" >> "$work/list.txt"
done
chmod -R a+rX "$work/www"
chmod a+x "$work"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat > "$work/nginx/nginx.conf" <<EOF
$user_line
daemon off;
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { application/octet-stream pak; }
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
EOF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
base="http://127.0.0.1:$port/release"
for _ in $(seq 1 50); do
    curl -s -o /dev/null "$base/file_001.pak" && break
    sleep 0.1
done

for i in $(seq -f "%03g" 1 "$files"); do
    printf 'url = "%s/file_%s.pak"\noutput = "%s/out/file_%s.pak"\n' "$base" "$i" "$work" "$i" >> "$work/curl.cfg"
done

total_bytes=$((files * size_mib * 1048576))
check_output() {
    local count bytes
    count="$(find "$work/out" -name 'file_*.pak' -size "$((size_mib * 1048576))c" | wc -l)"
    bytes="$(du -sb "$work/out" | cut -f1)"
    if [ "$count" -ne "$files" ]; then
        echo "$1: only $count of $files files arrived whole ($bytes bytes)" >&2
        exit 1
    fi
}
now() { date +%s.%N; }
mib_per_s() { python3 -c "print(f'{$total_bytes / 1048576 / ($2 - $1):.1f}')"; }

# Start the prefix's wineserver before timing, so no run pays its start-up.
export WINEPREFIX="$prefix" WINEDEBUG=-all
"$root/cmake/wine-prefix.sh" "$prefix"
wine "$tool" >/dev/null 2>&1 || true

# Peak memory of the launcher's process (the body is streamed, so it stays
# flat whatever the file sizes).
measured() {
    local out="$1"; shift
    if [ -x /usr/bin/time ]; then /usr/bin/time -f %M -o "$out" "$@"; else "$@"; fi
}
best_curl=0
best_ours=0
best_ours_inner=0
for round in $(seq 1 "$rounds"); do
    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    curl -s --no-progress-meter --fail --parallel --parallel-max "$threads" -K "$work/curl.cfg"
    end="$(now)"
    check_output curl
    curl_rate="$(mib_per_s "$start" "$end")"

    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    inner="$(measured "$work/rss.txt" wine "$tool" fetch-many "$base" "Z:$work/list.txt" "Z:$work/out" "$threads" \
             </dev/null 2>"$work/err.txt")" || { echo "fetch-many failed: $(cat "$work/err.txt")" >&2; exit 1; }
    end="$(now)"
    check_output launcher
    ours_rate="$(mib_per_s "$start" "$end")"
    inner_seconds="$(echo "$inner" | sed -n 's/.* in \([0-9.]*\) s/\1/p')"
    ours_inner_rate="$(python3 -c "print(f'{$total_bytes / 1048576 / $inner_seconds:.1f}')")"
    rss="$(tail -1 "$work/rss.txt" 2>/dev/null || true)"
    echo "round $round: curl $curl_rate MiB/s, launcher $ours_rate MiB/s (wall, with Wine start) / $ours_inner_rate MiB/s (inside the process), peak RSS ${rss:-?} KiB"
    best_curl="$(python3 -c "print(max($best_curl, $curl_rate))")"
    best_ours="$(python3 -c "print(max($best_ours, $ours_rate))")"
    best_ours_inner="$(python3 -c "print(max($best_ours_inner, $ours_inner_rate))")"
done

echo "files: $files x $size_mib MiB, $threads parallel, best of $rounds"
echo "curl --parallel:        $best_curl MiB/s"
echo "launcher fetch-many:    $best_ours MiB/s (wall clock, including Wine process start)"
echo "ratio launcher/curl:    $(python3 -c "print(f'{$best_ours / $best_curl:.2f}')") (target >= 0.70)"
echo "ratio without start-up: $(python3 -c "print(f'{$best_ours_inner / $best_curl:.2f}')")"
# One line for bench/run; the figures above stay the ones to read.
python3 -c "print(f'RESULT files=$files size_mib=$size_mib threads=$threads rounds=$rounds curl_mib_s=$best_curl launcher_mib_s=$best_ours ratio={$best_ours / $best_curl:.3f} inner_ratio={$best_ours_inner / $best_curl:.3f}')"
