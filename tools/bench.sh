#!/usr/bin/env bash
# Whole-request benchmark: the forum's list page of a 1,000-message forum
# next to a static file and a minimal C CGI program printing the same page,
# all behind lighttpd on loopback, measured in one run with ab, and handed
# over to a resident server with and without its wake-ups, and served by
# the forum loaded as a library into the ISAPI test host; then the
# program's bare start-up against minimal C programs with hyperfine.
# REQUESTS (default 2000) and CONCURRENCY (default 2) shape the ab runs.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/httpd/site.sh
BUILD=${BUILD:-build}
PROGRAM=${PROGRAM:-$BUILD/parlino}
REQUESTS=${REQUESTS:-2000}
CONCURRENCY=${CONCURRENCY:-2}
OUT=$BUILD/bench-run
rm -rf "$OUT"
OUT=$(site_home "$OUT")

# The forum, generated in the program's file formats.
site_prepare "$OUT/site" "$PROGRAM"
python3 tools/bench/make_forum.py "$OUT/site/cgi-bin/parlino" 1000
[ "$(id -u)" -ne 0 ] || chown -R www-data:www-data "$OUT/site/cgi-bin/parlino"

port=$(site_free_port)
site_lighttpd_conf "$OUT/site" "$port"
echo 'alias.url += ( "/cgi-bin/minimal" => "'"$OUT"'/site/cgi-bin/bin/minimal" )' >> "$OUT/site/run/lighttpd.conf"
lighttpd -D -f "$OUT/site/run/lighttpd.conf" >"$OUT/lighttpd.out" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
site_wait_port "$port" || { echo "lighttpd did not start" >&2; cat "$OUT/site/run/lighttpd-error.log" >&2; exit 1; }
base=http://127.0.0.1:$port

# The same page as a static file and compiled into the minimal C program.
curl -sf "$base/cgi-bin/parlino" -o "$OUT/site/htdocs/list.html"
grep -q 'VIEWID=' "$OUT/site/htdocs/list.html" || echo "Warning: the program's page shows no message list" >&2
python3 - "$OUT/site/htdocs/list.html" "$OUT/cgi_minimal_page.h" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "w") as f:
    f.write("static const char page[] =\n")
    for i in range(0, len(data), 64):
        f.write('  "' + "".join("\\x%02x" % b for b in data[i:i + 64]) + '"\n')
    f.write(";\n")
PY
gcc -O2 -Wall -I "$OUT" bench/cgi_minimal.c -o "$OUT/site/cgi-bin/bin/minimal"
gcc -O2 -Wall -static -I "$OUT" bench/cgi_minimal.c -o "$OUT/minimal-static"
size=$(stat -c %s "$OUT/site/htdocs/list.html")
for path in /list.html /cgi-bin/minimal /cgi-bin/parlino; do
  got=$(curl -sf "$base$path" | wc -c)
  [ "$got" -eq "$size" ] || echo "Warning: $path answers $got bytes, not $size" >&2
done

# ab_run NAME PATH: prints "requests/s median-ms"
ab_run() {
  ab -q -n 100 -c "$CONCURRENCY" "$base$2" >/dev/null 2>&1 || true
  ab -q -n "$REQUESTS" -c "$CONCURRENCY" -e "$OUT/$1.csv" "$base$2" > "$OUT/$1.ab" 2>&1
  local failed; failed=$(awk '/^Failed requests:/ {print $3}' "$OUT/$1.ab")
  [ "${failed:-1}" = 0 ] || echo "Warning: $1 had ${failed:-?} failed requests" >&2
  local rps; rps=$(awk '/^Requests per second:/ {print $4}' "$OUT/$1.ab")
  local median; median=$(awk -F, '$1 == "50" {print $2}' "$OUT/$1.csv")
  echo "$rps $median"
}

echo "List page of a 1,000-message forum ($size bytes), lighttpd on loopback,"
echo "ab -n $REQUESTS -c $CONCURRENCY:"
read -r static_rps static_med < <(ab_run static /list.html)
read -r minimal_rps minimal_med < <(ab_run minimal /cgi-bin/minimal)
read -r forum_rps forum_med < <(ab_run forum /cgi-bin/parlino)
printf '  %-28s %10s req/s   median %7s ms\n' "static file" "$static_rps" "$static_med" \
  "minimal C CGI" "$minimal_rps" "$minimal_med" "parlino" "$forum_rps" "$forum_med"
ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
page_ratio=$(ratio "$forum_med" "$minimal_med")
echo "  parlino median / minimal C CGI median: $page_ratio (target: at most 1.5)"
echo "  minimal C CGI / parlino requests per second: $(ratio "$minimal_rps" "$forum_rps")"

# The same page from the forum loaded as a library into one process, the
# ISAPI test host, on CONCURRENCY threads: no process is started per request.
HOST=$BUILD/isapi_host
ISAPI_REQUESTS=${ISAPI_REQUESTS:-20000}
mkdir -p "$OUT/site/cgi-bin/lib"
cp "$BUILD/parlino.so" "$OUT/site/cgi-bin/lib/parlino.so"
isapi() { env -i SERVER_SOFTWARE=bench SCRIPT_NAME=/cgi-bin/parlino CGI_LOG_DIR="$OUT" "$HOST" "$OUT/site/cgi-bin/lib/parlino.so" "$@" </dev/null; }
got=$(isapi | sed '1,/^\r$/d' | wc -c)
[ "$got" -eq "$size" ] || echo "Warning: the library answers $got bytes, not $size" >&2
isapi_rps=$(isapi "$CONCURRENCY" "$ISAPI_REQUESTS")
printf '  %-28s %10.0f req/s   (%s requests on %s threads, one process)\n' "parlino.so, ISAPI host" \
  "$isapi_rps" "$ISAPI_REQUESTS" "$CONCURRENCY"
echo "  parlino.so / parlino requests per second: $(ratio "$isapi_rps" "$forum_rps") (target: at least 10)"

# The same requests handed over to a resident server (ServerMode, started by
# hand as the CGI account), woken by the queue file's changes and then with
# the specified polling alone (PARLINO_POLL_ONLY on both sides).
bin=$OUT/site/cgi-bin/bin
resident_run() {  # NAME [VAR=VALUE]: prints "requests/s median-ms"
  site_resident_start "$bin" ${2:-}
  ab_run "$1" /cgi-bin/parlino
  site_resident_stop "$bin"
}
restart_lighttpd() {
  kill $server; wait $server 2>/dev/null || true
  lighttpd -D -f "$OUT/site/run/lighttpd.conf" >"$OUT/lighttpd.out" 2>&1 &
  server=$!
  site_wait_port "$port" || { echo "lighttpd did not restart" >&2; exit 1; }
}
read -r wake_rps wake_med < <(resident_run resident-wake)
printf 'server.modules += ( "mod_setenv" )\nsetenv.add-environment = ( "PARLINO_POLL_ONLY" => "1" )\n' \
  >> "$OUT/site/run/lighttpd.conf"
restart_lighttpd
read -r poll_rps poll_med < <(resident_run resident-poll PARLINO_POLL_ONLY=1)
printf '  %-28s %10s req/s   median %7s ms\n' "resident server, wake-ups" "$wake_rps" "$wake_med" \
  "resident server, polling" "$poll_rps" "$poll_med"
echo "  handed over (wake-ups) / parlino median: $(ratio "$wake_med" "$forum_med") (target: at most 2)"
echo "  handed over (polling) / parlino median:  $(ratio "$poll_med" "$forum_med")"
kill $server; wait $server 2>/dev/null || true; trap - EXIT

# Bare start-up: the list page of an empty forum, written to /dev/null.
site_prepare "$OUT/empty" "$PROGRAM" >/dev/null
cp "$OUT/site/cgi-bin/bin/minimal" "$OUT/minimal"
export SERVER_SOFTWARE=x REQUEST_METHOD=GET
hyperfine -N --warmup 50 --runs 1000 --export-json "$OUT/startup.json" \
  "$OUT/empty/cgi-bin/bin/parlino" "$OUT/minimal" "$OUT/minimal-static" > "$OUT/startup.txt" 2>&1
python3 - "$OUT/startup.json" <<'PY'
import json, sys
r = {x["command"].rsplit("/", 1)[1]: x for x in json.load(open(sys.argv[1]))["results"]}
print("Bare start-up (hyperfine -N, 1000 runs), median:")
for name, label in (("parlino", "parlino, empty forum"), ("minimal", "minimal C, dynamic"),
                    ("minimal-static", "minimal C, static")):
    print("  %-28s %8.3f ms  (mean %.3f ms)" % (label, r[name]["median"] * 1e3, r[name]["mean"] * 1e3))
p = r["parlino"]["median"]
print("  parlino / minimal C, dynamic: %.2f" % (p / r["minimal"]["median"]))
print("  parlino / minimal C, static:  %.2f (target: at most 1.1)" % (p / r["minimal-static"]["median"]))
PY
echo "Raw results in $OUT"
