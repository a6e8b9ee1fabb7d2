# Shared by tools/serve.sh, tools/bench.sh and the tests under tests/e2e and
# tests/load (sourced, not run).
# A site is one directory laid out so that the program finds its data:
#   ROOT/cgi-bin/bin/parlino   the program (a copy: it locates its data from
#                              its real path, so a symlink would point there)
#   ROOT/cgi-bin/bin/Log       its log; Temp beside it for the resident modes
#   ROOT/cgi-bin/parlino/      the data directory (found as bin/../parlino),
#                              or a link to it
#   ROOT/htdocs/               static files
#   ROOT/run/                  the web server's configuration, pid and logs

PARLINO_HTTPD_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The account CGI programs run as when the server starts as root.
site_cgi_user() {
  if [ "$(id -u)" -eq 0 ]; then echo www-data; else id -un; fi
}

# site_as_cgi_user COMMAND...: runs it as that account.
site_as_cgi_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$(site_cgi_user)" -- "$@"; else "$@"; fi
}

# site_resident_start BIN [VAR=VALUE...]: starts the resident server of the
# program BIN/parlino by hand (no CGI environment: ServerMode) as the CGI
# account and returns once it polls; its process id is in $resident.
site_resident_start() {
  local bin=$1; shift
  site_as_cgi_user env -i PATH=/usr/bin:/bin "$@" "$bin/parlino" </dev/null >/dev/null 2>&1 &
  resident=$!
  local window=$bin/Temp/parlino_S.window
  for _ in $(seq 100); do
    if [ -e "$window" ] && ! flock -n "$window" true 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "The resident server did not start; see $bin/Log" >&2
  return 1
}

# site_resident_stop BIN: deleting its queue file ends the server at its
# next poll; requests still waiting then get no page.
site_resident_stop() {
  rm -f "$1/Temp/parlino_S"
  wait "$resident" 2>/dev/null || true
}

# site_reachable DIR: whether the CGI account can enter DIR (a work tree
# below /root, for instance, is closed to www-data).
site_reachable() {
  [ "$(id -u)" -ne 0 ] || runuser -u "$(site_cgi_user)" -- test -x "$1"
}

# site_home DIR: prints DIR when the CGI account can reach it, else a fresh
# directory below /tmp that it can.
site_home() {
  mkdir -p "$1"
  if site_reachable "$1"; then (cd "$1" && pwd); else
    local tmp; tmp=$(mktemp -d /tmp/parlino-site.XXXXXX); chmod 755 "$tmp"; echo "$tmp"
  fi
}

# site_prepare ROOT PROGRAM: lays out ROOT, copying PROGRAM in afresh and
# keeping an existing data directory and its settings.
site_prepare() {
  local root=$1 program=$2
  [ -x "$program" ] || { echo "No program at $program: build it first (make build)" >&2; return 1; }
  mkdir -p "$root/htdocs" "$root/run" "$root/cgi-bin/bin/Log" "$root/cgi-bin/bin/Temp" \
           "$root/cgi-bin/parlino"
  # Copy, then rename: a running request keeps its old file.
  cp "$program" "$root/cgi-bin/bin/.parlino.new"
  chmod 755 "$root/cgi-bin/bin/.parlino.new"
  mv -f "$root/cgi-bin/bin/.parlino.new" "$root/cgi-bin/bin/parlino"
  [ -e "$root/cgi-bin/parlino/parlino.ini" ] || cp "$PARLINO_HTTPD_DIR/parlino.ini" "$root/cgi-bin/parlino/parlino.ini"
  if [ "$(id -u)" -eq 0 ]; then
    local user; user=$(site_cgi_user)
    # The slash: the data directory may be a link, whose target is meant.
    chown -R "$user:$user" "$root/cgi-bin/parlino/" "$root/cgi-bin/bin/Log" "$root/cgi-bin/bin/Temp"
    if ! runuser -u "$user" -- test -x "$root/cgi-bin/bin/parlino" -a -w "$root/cgi-bin/parlino/"; then
      echo "Warning: $user cannot reach $root/cgi-bin/bin/parlino or its data directory" >&2
      echo "         (a parent directory is closed to it);" >&2
      echo "         move the work tree or open its parent directories (chmod o+x)." >&2
    fi
  fi
}

# Replaces @NAME@ markers of a template; values come as NAME=VALUE arguments.
site_fill() {
  local template=$1; shift
  python3 - "$template" "$@" <<'PY'
import sys
text = open(sys.argv[1]).read()
for pair in sys.argv[2:]:
    name, value = pair.split("=", 1)
    text = text.replace("@" + name + "@", value)
sys.stdout.write(text)
PY
}

# site_apache_conf ROOT PORT [ERRORLOG ACCESSLOG]: writes ROOT/run/apache.conf.
site_apache_conf() {
  local root; root=$(cd "$1" && pwd)
  local port=$2 errorlog=${3:-$root/run/apache-error.log} accesslog=${4:-$root/run/apache-access.log}
  local user=""
  if [ "$(id -u)" -eq 0 ]; then user="User www-data
Group www-data"; fi
  site_fill "$PARLINO_HTTPD_DIR/apache.conf.in" "ROOT=$root" "RUN=$root/run" "PORT=$port" \
    "ERRORLOG=$errorlog" "ACCESSLOG=$accesslog" "USER=$user" > "$root/run/apache.conf"
}

# site_lighttpd_conf ROOT PORT: writes ROOT/run/lighttpd.conf.
site_lighttpd_conf() {
  local root; root=$(cd "$1" && pwd)
  local port=$2 user=""
  if [ "$(id -u)" -eq 0 ]; then
    user='server.username = "www-data"
server.groupname = "www-data"'
    touch "$root/run/lighttpd-error.log"; chown www-data:www-data "$root/run/lighttpd-error.log"
  fi
  site_fill "$PARLINO_HTTPD_DIR/lighttpd.conf.in" "ROOT=$root" "PORT=$port" \
    "ERRORLOG=$root/run/lighttpd-error.log" "USER=$user" > "$root/run/lighttpd.conf"
}

# site_nginx_conf ROOT PORT [ERRORLOG ACCESSLOG]: writes ROOT/run/nginx.conf,
# for the forum as a FastCGI process on ROOT/run/fcgi/parlino.sock.
site_nginx_conf() {
  local root; root=$(cd "$1" && pwd)
  local port=$2 errorlog=${3:-$root/run/nginx-error.log} accesslog=${4:-$root/run/nginx-access.log} user=""
  mkdir -p "$root/run/nginx-temp" "$root/run/fcgi"
  if [ "$(id -u)" -eq 0 ]; then
    user="user www-data www-data;"
    chown www-data:www-data "$root/run/fcgi"
  fi
  site_fill "$PARLINO_HTTPD_DIR/nginx.conf.in" "ROOT=$root" "RUN=$root/run" "PORT=$port" \
    "SOCKET=$root/run/fcgi/parlino.sock" "ERRORLOG=$errorlog" "ACCESSLOG=$accesslog" "USER=$user" \
    > "$root/run/nginx.conf"
}

# site_lighttpd_fastcgi_conf ROOT PORT: writes ROOT/run/lighttpd.conf for
# lighttpd's mod_fastcgi, which starts the program itself with a listening
# socket (ROOT/run/fcgi/lighttpd.sock) as its standard input.
site_lighttpd_fastcgi_conf() {
  site_lighttpd_conf "$1" "$2"
  local root; root=$(cd "$1" && pwd)
  mkdir -p "$root/run/fcgi"
  [ "$(id -u)" -ne 0 ] || chown www-data:www-data "$root/run/fcgi"
  sed -i -e 's/"mod_cgi"/"mod_fastcgi"/' -e '/^alias\.url/d' -e '/^\$HTTP\["url"\]/,/^}/d' "$root/run/lighttpd.conf"
  cat >> "$root/run/lighttpd.conf" <<CONF
fastcgi.server = ( "/cgi-bin/parlino" => ((
    "socket" => "$root/run/fcgi/lighttpd.sock",
    "bin-path" => "$root/cgi-bin/bin/parlino",
    "max-procs" => 1,
    "check-local" => "disable"
)))
CONF
}

# site_fcgi_start ROOT [ARGS...]: starts ROOT's program as the CGI account,
# a FastCGI process on ROOT/run/fcgi/parlino.sock, and returns once it
# listens (its socket is made just before); its process id is in $fcgi.
site_fcgi_start() {
  local root=$1; shift
  local socket=$root/run/fcgi/parlino.sock
  local as=()
  rm -f "$socket"
  # setpriv, not runuser: $fcgi is then the program itself, whom SIGTERM reaches.
  [ "$(id -u)" -ne 0 ] || as=(setpriv --reuid=www-data --regid=www-data --init-groups)
  "${as[@]}" env -i PATH=/usr/bin:/bin "$root/cgi-bin/bin/parlino" --fastcgi "$socket" "$@" \
    </dev/null >/dev/null 2>>"$root/run/fcgi/stderr.log" &
  fcgi=$!
  for _ in $(seq 200); do
    if [ -S "$socket" ]; then sleep 0.05; return 0; fi
    kill -0 "$fcgi" 2>/dev/null || break
    sleep 0.05
  done
  echo "The FastCGI process did not start; see $root/run/fcgi/stderr.log and $root/cgi-bin/bin/Log" >&2
  return 1
}

# site_fcgi_stop: SIGTERM lets the requests in flight finish.
site_fcgi_stop() {
  kill -TERM "$fcgi" 2>/dev/null || true
  wait "$fcgi" 2>/dev/null || true
}

# A free loopback port, chosen by the kernel.
site_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# site_wait_port PORT: waits up to 10 s for something to listen on PORT.
site_wait_port() {
  python3 - "$1" <<'PY'
import socket, sys, time
deadline = time.time() + 10
while time.time() < deadline:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.5).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)
PY
}
