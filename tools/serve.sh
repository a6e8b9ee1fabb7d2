#!/usr/bin/env bash
# Serves the forum with Apache on 127.0.0.1 in the foreground; Ctrl-C stops it.
#   tools/serve.sh                          PORT (default 8080), site build/www
#   tools/serve.sh --check                  only refuse (exit 1) when the site's
#                                           server runs or PORT is taken
#   tools/serve.sh --config-only DIR PORT   only lay out DIR and write
#                                           DIR/run/apache.conf and lighttpd.conf
# RESIDENT=1 starts the program's resident server beside Apache.
# SERVER=nginx serves with nginx instead, the forum a FastCGI process
# beside it (THREADS workers, default one per core).
# PROGRAM (default build/parlino) is the program copied into the site,
# WWW (default build/www) the site, DATA (default forum-data) the forum's
# files: outside build/, so that `make clean` keeps them; the site's data
# directory is a link to it.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/httpd/site.sh
PROGRAM=${PROGRAM:-build/parlino}

if [ "${1:-}" = "--config-only" ]; then
  [ $# -eq 3 ] || { echo "usage: $0 --config-only DIR PORT" >&2; exit 2; }
  site_prepare "$2" "$PROGRAM"
  site_apache_conf "$2" "$3"
  site_lighttpd_conf "$2" "$3"
  echo "$2/run/apache.conf"
  exit 0
fi

PORT=${PORT:-8080}
ROOT=${WWW:-build/www}
DATA=${DATA:-forum-data}

# A second start would rewrite the running server's configuration and then
# fail on its port: refuse before touching anything. The pid file alone may
# be stale (a killed server, its number reused), so the process must also be
# the Apache started on this site's configuration.
refuse_if_running() {
  local pid conf port
  if [ -d "$ROOT/run" ]; then
    conf="$(cd "$ROOT/run" && pwd)/apache.conf"
    pid=$(cat "$ROOT/run/apache.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF -- "-f $conf "; then
      port=$(sed -n 's/^Listen 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$conf")
      echo "The forum's server already runs: http://127.0.0.1:$port/cgi-bin/parlino (process $pid)." >&2
      echo "It was left alone. Stop it first (Ctrl-C in its terminal, or kill $pid)." >&2
      exit 1
    fi
    conf="$(cd "$ROOT/run" && pwd)/nginx.conf"
    pid=$(cat "$ROOT/run/nginx.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF -- "-c $conf "; then
      port=$(sed -n 's/^ *listen 127\.0\.0\.1:\([0-9]*\);$/\1/p' "$conf")
      echo "The forum's server already runs: http://127.0.0.1:$port/cgi-bin/parlino (nginx, process $pid)." >&2
      echo "It was left alone. Stop it first (Ctrl-C in its terminal, or kill $pid)." >&2
      exit 1
    fi
  fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
    echo "Port $PORT is in use by another program; choose another: PORT=8081 make serve" >&2
    exit 1
  fi
}
refuse_if_running
[ "${1:-}" != "--check" ] || exit 0

# The site's data directory is a link to DATA. A forum that an earlier
# version kept inside the site moves to DATA once, unless DATA holds one.
link="$ROOT/cgi-bin/parlino"
mkdir -p "$ROOT/cgi-bin"
if [ -d "$link" ] && [ ! -L "$link" ]; then
  if [ -n "$(ls -A "$DATA" 2>/dev/null)" ]; then
    echo "Two forums: $link and $DATA. Keep one of them as $DATA, remove the other, and start again." >&2
    exit 1
  fi
  rmdir "$DATA" 2>/dev/null || mkdir -p "$(dirname "$DATA")"
  mv "$link" "$DATA"
  echo "The forum's files moved from $link to $DATA."
fi
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
ln -sfn "$DATA" "$link"

site_prepare "$ROOT" "$PROGRAM"
# Errors to the terminal; the access log too, one line per request.
site_apache_conf "$ROOT" "$PORT" /dev/stderr /dev/stdout
ROOT=$(cd "$ROOT" && pwd)
echo "Forum:          http://127.0.0.1:$PORT/cgi-bin/parlino"
echo "Data directory: $DATA (settings: parlino.ini)"
echo "Program log:    $ROOT/cgi-bin/bin/Log"
echo "Ctrl-C stops the server."
if [ "${SERVER:-apache}" = nginx ]; then
  site_nginx_conf "$ROOT" "$PORT" /dev/stderr /dev/stdout
  site_fcgi_start "$ROOT" ${THREADS:+--threads "$THREADS"}
  echo "FastCGI process: $fcgi, as $(site_cgi_user), on $ROOT/run/fcgi/parlino.sock"
  # Ctrl-C ends nginx; the forum then finishes its requests and ends too.
  trap 'site_fcgi_stop' EXIT
  trap 'exit 0' INT TERM
  nginx -c "$ROOT/run/nginx.conf" -e /dev/stderr &
  wait $!
  exit
fi
if [ "${RESIDENT:-}" = 1 ]; then
  # RESIDENT=1: a resident server beside Apache takes every request over;
  # it ends with Apache.
  site_resident_start "$ROOT/cgi-bin/bin"
  echo "Resident server: process $resident, as $(site_cgi_user); log in $ROOT/cgi-bin/bin/Log"
  trap 'site_resident_stop "$ROOT/cgi-bin/bin"' EXIT
  trap 'exit 0' INT TERM
  apache2 -f "$ROOT/run/apache.conf" -DFOREGROUND
  exit
fi
exec apache2 -f "$ROOT/run/apache.conf" -DFOREGROUND
