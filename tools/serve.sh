#!/usr/bin/env bash
# Runs one CGI request of the program, as a web server would.
set -euo pipefail
cd "$(dirname "$0")/.."
SERVER_SOFTWARE=parlino-serve REQUEST_METHOD=GET QUERY_STRING='hello=world' \
  SCRIPT_NAME=/cgi-bin/parlino build/parlino
