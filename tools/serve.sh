#!/usr/bin/env bash
# Serves the forum with Apache on 127.0.0.1 in the foreground; Ctrl-C stops it.
#   tools/serve.sh                          PORT (default 8080), site build/www
#   tools/serve.sh --config-only DIR PORT   only lay out DIR and write
#                                           DIR/run/apache.conf and lighttpd.conf
# PROGRAM (default build/parlino) is the program copied into the site,
# WWW (default build/www) the site.
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
site_prepare "$ROOT" "$PROGRAM"
# Errors to the terminal; the access log too, one line per request.
site_apache_conf "$ROOT" "$PORT" /dev/stderr /dev/stdout
ROOT=$(cd "$ROOT" && pwd)
echo "Forum:          http://127.0.0.1:$PORT/cgi-bin/parlino"
echo "Data directory: $ROOT/cgi-bin/parlino (settings: parlino.ini)"
echo "Program log:    $ROOT/cgi-bin/bin/Log"
echo "Ctrl-C stops the server."
exec apache2 -f "$ROOT/run/apache.conf" -DFOREGROUND
