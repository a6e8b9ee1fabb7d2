#!/usr/bin/env bash
# The forum resident as a FastCGI process: the list page of a 1,000-message
# forum through nginx + FastCGI, against the same page through lighttpd +
# CGI and against nginx serving the same bytes as a static file, all on
# loopback in one run with ab; then the FastCGI process's memory after
# 1,000 and after 100,000 requests. Goals: at least 10x the CGI rate and at
# least half the static file's. REQUESTS (default 5000) and CONCURRENCY
# (default 4) shape the ab runs; MEMORY_REQUESTS (default 100000) the long one.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/httpd/site.sh
BUILD=${BUILD:-build}
PROGRAM=${PROGRAM:-$BUILD/parlino}
REQUESTS=${REQUESTS:-5000}
CONCURRENCY=${CONCURRENCY:-4}
MEMORY_REQUESTS=${MEMORY_REQUESTS:-100000}
OUT=$BUILD/bench-fastcgi
rm -rf "$OUT"
OUT=$(site_home "$OUT")
site_prepare "$OUT/site" "$PROGRAM"
python3 tools/bench/make_forum.py "$OUT/site/cgi-bin/parlino" 1000
[ "$(id -u)" -ne 0 ] || chown -R www-data:www-data "$OUT/site/cgi-bin/parlino"

nginx_port=$(site_free_port)
site_nginx_conf "$OUT/site" "$nginx_port"
site_fcgi_start "$OUT/site"
nginx -c "$OUT/site/run/nginx.conf" -e "$OUT/site/run/nginx-error.log" >"$OUT/nginx.out" 2>&1 &
nginx_pid=$!
lighttpd_port=$(site_free_port)
while [ "$lighttpd_port" = "$nginx_port" ]; do lighttpd_port=$(site_free_port); done
site_lighttpd_conf "$OUT/site" "$lighttpd_port"
lighttpd -D -f "$OUT/site/run/lighttpd.conf" >"$OUT/lighttpd.out" 2>&1 &
lighttpd_pid=$!
trap 'kill $nginx_pid $lighttpd_pid 2>/dev/null; site_fcgi_stop' EXIT
site_wait_port "$nginx_port" && site_wait_port "$lighttpd_port" || { echo "a server did not start" >&2; exit 1; }

# The same bytes three ways.
curl -sf "http://127.0.0.1:$nginx_port/cgi-bin/parlino" -o "$OUT/site/htdocs/list.html"
grep -q 'VIEWID=' "$OUT/site/htdocs/list.html" || echo "Warning: the page shows no message list" >&2
size=$(stat -c %s "$OUT/site/htdocs/list.html")
for url in "http://127.0.0.1:$nginx_port/list.html" "http://127.0.0.1:$lighttpd_port/cgi-bin/parlino"; do
  got=$(curl -sf "$url" | wc -c)
  [ "$got" -eq "$size" ] || echo "Warning: $url answers $got bytes, not $size" >&2
done

# ab_run NAME URL [N]: prints "requests/s median-ms p99-ms"
ab_run() {
  ab -q -n 200 -c "$CONCURRENCY" "$2" >/dev/null 2>&1 || true
  ab -q -n "${3:-$REQUESTS}" -c "$CONCURRENCY" -e "$OUT/$1.csv" "$2" >"$OUT/$1.ab" 2>&1
  local failed; failed=$(awk '/^Failed requests:/ {print $3}' "$OUT/$1.ab")
  [ "${failed:-1}" = 0 ] || echo "Warning: $1 had ${failed:-?} failed requests" >&2
  echo "$(awk '/^Requests per second:/ {print $4}' "$OUT/$1.ab")" \
       "$(awk -F, '$1 == "50" {print $2}' "$OUT/$1.csv")" "$(awk -F, '$1 == "99" {print $2}' "$OUT/$1.csv")"
}
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$fcgi/status"; }

echo "List page of a 1,000-message forum ($size bytes) on loopback, ab -n $REQUESTS -c $CONCURRENCY:"
read -r static_rps static_med static_p99 < <(ab_run static "http://127.0.0.1:$nginx_port/list.html")
read -r fcgi_rps fcgi_med fcgi_p99 < <(ab_run fastcgi "http://127.0.0.1:$nginx_port/cgi-bin/parlino")
read -r cgi_rps cgi_med cgi_p99 < <(ab_run cgi "http://127.0.0.1:$lighttpd_port/cgi-bin/parlino")
printf '  %-24s %10s req/s   median %6s ms   p99 %6s ms\n' \
  "nginx, static file" "$static_rps" "$static_med" "$static_p99" \
  "nginx + FastCGI" "$fcgi_rps" "$fcgi_med" "$fcgi_p99" \
  "lighttpd + CGI" "$cgi_rps" "$cgi_med" "$cgi_p99"
ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
echo "  FastCGI / CGI requests per second:    $(ratio "$fcgi_rps" "$cgi_rps") (goal: at least 10)"
echo "  FastCGI / static requests per second: $(ratio "$fcgi_rps" "$static_rps") (goal: at least 0.5)"

# Memory: the process has served the runs above (over 1,000 requests).
before=$(rss)
ab_run memory "http://127.0.0.1:$nginx_port/cgi-bin/parlino" "$MEMORY_REQUESTS" >/dev/null
after=$(rss)
echo "FastCGI process memory (resident): $before kB after $((REQUESTS + 400)) requests," \
     "$after kB after $MEMORY_REQUESTS more ($(ratio "$after" "$before")x; goal: at most 1.10x)"
echo "Raw results in $OUT"
