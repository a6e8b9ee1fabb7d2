#!/usr/bin/env bash
# End-to-end tests: the forum behind Apache and lighttpd, driven over HTTP,
# and in Chromium through playwright-core. Each server gets a free loopback
# port and a fresh site under $BUILD/e2e.
set -uo pipefail
cd "$(dirname "$0")/.."
. tools/httpd/site.sh
BUILD=${BUILD:-build}
PROGRAM=${PROGRAM:-$BUILD/parlino}
OUT=$BUILD/e2e
rm -rf "$OUT"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
LOG=$OUT/results.txt
: > "$LOG"
# The sites, where the servers' CGI account can reach them.
SITES=$(site_home "$OUT")

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "$SITES" != "$OUT" ]; then
    local site
    for site in "$SITES"/*/; do mkdir -p "$OUT/$(basename "$site")" && cp -r "$site/run" "$OUT/$(basename "$site")/"; done
    rm -rf "$SITES"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "FAIL $1" | tee -a "$LOG"; }

# start_server KIND NAME: lays out $SITES/NAME and starts KIND on a free port;
# sets $url.
start_server() {
  local kind=$1 root=$SITES/$2 port
  port=$(site_free_port)
  site_prepare "$root" "$PROGRAM" || return 1
  if [ "$kind" = apache ]; then
    site_apache_conf "$root" "$port"
    # A session of its own: prefork's shutdown signals its whole process group.
    setsid apache2 -f "$root/run/apache.conf" -DFOREGROUND >"$root/run/stdout.log" 2>&1 &
  else
    site_lighttpd_conf "$root" "$port"
    lighttpd -D -f "$root/run/lighttpd.conf" >"$root/run/stdout.log" 2>&1 &
  fi
  pids+=($!)
  url=http://127.0.0.1:$port/cgi-bin/parlino
  site_wait_port "$port" || { fail "$kind ($2) did not start: $(tail -3 "$root/run/"*.log)"; return 1; }
}

run_checks() {  # LABEL COMMAND...: runs a check script, keeping its lines
  local label=$1; shift
  "$@" 2>"$OUT/$label.stderr" | tee -a "$LOG"
  local rc=${PIPESTATUS[0]}
  if [ "$rc" -ne 0 ] && ! grep -q "^FAIL $label" "$LOG"; then
    fail "$label: exited with $rc: $(tail -3 "$OUT/$label.stderr")"
  fi
}

multipart=tests/data/multipart
[ -f "$multipart/forum_post.body" ] || multipart=""
for kind in apache lighttpd; do
  if start_server "$kind" "$kind"; then
    run_checks "$kind" python3 tools/e2e/http_forum.py "$url" "$SITES/$kind/cgi-bin/parlino" "$kind" "$multipart"
  fi
done

if [ ! -d tools/e2e/node_modules/playwright-core ]; then
  (cd tools/e2e && npm ci --no-audit --no-fund --loglevel=error) >"$OUT/npm.log" 2>&1 \
    || fail "browser: npm could not install playwright-core: $(tail -3 "$OUT/npm.log")"
fi
if [ -d tools/e2e/node_modules/playwright-core ] && start_server apache browser; then
  run_checks browser node tools/e2e/browser.mjs "$url" "$OUT"
fi

passed=$(grep -c '^PASS ' "$LOG")
failed=$(grep -c '^FAIL ' "$LOG")
echo "End-to-end: screenshots in $OUT, server logs in $OUT/*/run"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
