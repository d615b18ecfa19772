#!/usr/bin/env bash
# Download throughput of the launcher's client against the platform's own
# ceiling, in one run.
#
# Serves FILES files of SIZE_MIB MiB from a local nginx on a free loopback
# port, then fetches all of them ROUNDS times, alternating:
#   - `TinderhallowTool fetch-many` (8 threads, each keeping one downloader and
#     so one connection), every file as a release file: hashed as it arrives
#     and checked against its digest, as the update worker fetches them;
#   - bench/winhttp_reference.cpp, the plainest fast WinHTTP program (8
#     threads, 1 MiB reads without WinHttpQueryDataAvailable, WriteFile, no
#     hashing), built the same way: the reference (target: >= 0.9);
#   - `curl --parallel --parallel-max 8`, for information (raw sockets, no
#     WinHTTP, no Wine);
#   - `TinderhallowTool fetch-many` of the same files as plain downloads (no
#     digest, so no hashing), for information: what the hashing costs.
# and prints the best throughput of each and their ratios. A Wine program
# kept open spares the timed runs the start of the Wine session.
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
reference="$build/winhttp_reference.exe"
prefix="$build/wineprefix"
[ -f "$tool" ] || { echo "no $tool: build first" >&2; exit 2; }
[ -f "$reference" ] || { echo "no $reference: build first" >&2; exit 2; }
command -v nginx >/dev/null || { echo "nginx is not installed" >&2; exit 2; }
nginx_bin="$(command -v nginx)"

work="$(mktemp -d /tmp/th_download_bench.XXXXXX)"
nginx_pid=""
keeper_pid=""
holder_pid=""
cleanup() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    if [ -n "$holder_pid" ]; then
        kill "$holder_pid" 2>/dev/null || true
        wait "$holder_pid" 2>/dev/null || true
    fi
    if [ -n "$keeper_pid" ]; then
        wait "$keeper_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The release: one random file, hard-linked under every name (the page cache
# holds it once, so both clients read the same warm data).
mkdir -p "$work/www/release" "$work/nginx" "$work/out"
head -c "$((size_mib * 1048576))" /dev/urandom > "$work/www/release/.blob"
: > "$work/list.txt"
: > "$work/plain.txt"
: > "$work/curl.cfg"
blob_sha="$(sha256sum "$work/www/release/.blob" | cut -d' ' -f1)"
for i in $(seq -f "%03g" 1 "$files"); do
    ln "$work/www/release/.blob" "$work/www/release/file_$i.pak"
    echo "file_$i.pak $((size_mib * 1048576)) $blob_sha" >> "$work/list.txt"
    echo "file_$i.pak" >> "$work/plain.txt"
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

# Keep the prefix's Wine session up for the whole run, so no timed run pays
# its start-up.
export WINEPREFIX="$prefix" WINEDEBUG=-all
"$root/cmake/wine-prefix.sh" "$prefix"
mkfifo "$work/keep"
wine "$reference" wait < "$work/keep" >/dev/null 2>&1 &
keeper_pid=$!
# The fifo's writer is a process of its own: a wineserver started by a later
# wine call would otherwise inherit the writing end, and the keeper would
# never see its end of input.
sleep infinity > "$work/keep" &
holder_pid=$!
wine "$tool" >/dev/null 2>&1 || true

# Peak memory of the launcher's process (the body is streamed, so it stays
# flat whatever the file sizes).
measured() {
    local out="$1"; shift
    if [ -x /usr/bin/time ]; then /usr/bin/time -f %M -o "$out" "$@"; else "$@"; fi
}
# "<n> files in <seconds> s", as both programs print it, as a rate.
inner_rate() {
    local seconds
    seconds="$(echo "$1" | tr -d '\r' | sed -n 's/.* in \([0-9.]*\) s$/\1/p')"
    python3 -c "print(f'{$total_bytes / 1048576 / $seconds:.1f}')"
}
best() { python3 -c "print(max($1, $2))"; }
best_curl=0
best_reference=0
best_reference_inner=0
best_ours=0
best_ours_inner=0
best_plain=0
for round in $(seq 1 "$rounds"); do
    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    curl -s --no-progress-meter --fail --parallel --parallel-max "$threads" -K "$work/curl.cfg"
    end="$(now)"
    check_output curl
    curl_rate="$(mib_per_s "$start" "$end")"

    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    inner="$(wine "$reference" "$base" "Z:$work/list.txt" "Z:$work/out" "$threads" </dev/null 2>"$work/err.txt")" ||
        { echo "winhttp_reference failed: $(cat "$work/err.txt")" >&2; exit 1; }
    end="$(now)"
    check_output reference
    reference_rate="$(mib_per_s "$start" "$end")"
    reference_inner_rate="$(inner_rate "$inner")"

    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    inner="$(measured "$work/rss.txt" wine "$tool" fetch-many "$base" "Z:$work/list.txt" "Z:$work/out" "$threads" \
             </dev/null 2>"$work/err.txt")" || { echo "fetch-many failed: $(cat "$work/err.txt")" >&2; exit 1; }
    end="$(now)"
    check_output launcher
    ours_rate="$(mib_per_s "$start" "$end")"
    ours_inner_rate="$(inner_rate "$inner")"
    rss="$(tail -1 "$work/rss.txt" 2>/dev/null || true)"

    rm -rf "$work/out"; mkdir -p "$work/out"; sync
    start="$(now)"
    wine "$tool" fetch-many "$base" "Z:$work/plain.txt" "Z:$work/out" "$threads" </dev/null >/dev/null \
        2>"$work/err.txt" || { echo "plain fetch-many failed: $(cat "$work/err.txt")" >&2; exit 1; }
    end="$(now)"
    check_output plain
    plain_rate="$(mib_per_s "$start" "$end")"
    best_plain="$(best "$best_plain" "$plain_rate")"
    echo "round $round: curl $curl_rate MiB/s; reference $reference_rate MiB/s ($reference_inner_rate inside);" \
         "launcher $ours_rate MiB/s ($ours_inner_rate inside), peak RSS ${rss:-?} KiB; without hashing $plain_rate MiB/s"
    best_curl="$(best "$best_curl" "$curl_rate")"
    best_reference="$(best "$best_reference" "$reference_rate")"
    best_reference_inner="$(best "$best_reference_inner" "$reference_inner_rate")"
    best_ours="$(best "$best_ours" "$ours_rate")"
    best_ours_inner="$(best "$best_ours_inner" "$ours_inner_rate")"
done

ratio="$(python3 -c "print(f'{$best_ours / $best_reference:.3f}')")"
inner_ratio="$(python3 -c "print(f'{$best_ours_inner / $best_reference_inner:.3f}')")"
curl_ratio="$(python3 -c "print(f'{$best_ours / $best_curl:.3f}')")"
plain_ratio="$(python3 -c "print(f'{$best_plain / $best_reference:.3f}')")"
echo "files: $files x $size_mib MiB, $threads parallel, best of $rounds; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "curl --parallel:          $best_curl MiB/s"
echo "WinHTTP reference:        $best_reference MiB/s (wall clock, Wine session kept up)"
echo "launcher fetch-many:      $best_ours MiB/s (wall clock, hashing and checking every file)"
echo "ratio launcher/reference: $ratio (target >= 0.90)"
echo "the same inside the processes: $inner_ratio"
echo "ratio launcher/curl:      $curl_ratio (for information)"
echo "launcher without hashing / reference: $plain_ratio (for information)"
# One line for bench/run; the figures above stay the ones to read.
echo "RESULT files=$files size_mib=$size_mib threads=$threads rounds=$rounds curl_mib_s=$best_curl" \
     "reference_mib_s=$best_reference launcher_mib_s=$best_ours ratio=$ratio inner_ratio=$inner_ratio" \
     "curl_ratio=$curl_ratio plain_mib_s=$best_plain plain_ratio=$plain_ratio"
