#!/usr/bin/env bash
# End-to-end tests: the forum behind Apache, lighttpd and nginx over HTTP, and
# in Chromium through playwright-core, which npm installs here on first use.
# The program tested is $PROGRAM (default $BUILD/parlino, BUILD default build);
# results, screenshots and server logs go to $BUILD/e2e.
set -uo pipefail
cd "$(dirname "$0")/../.."
out=${BUILD:-build}/e2e
rm -rf "$out" && mkdir -p "$out"
# Installed again whenever the lock file is newer than npm's record of the last install.
[ tests/e2e/node_modules/.package-lock.json -nt tests/e2e/package-lock.json ] \
  || (cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error) >"$out/npm.log" 2>&1
python3 tests/e2e/http_forum.py | tee "$out/results.txt"
