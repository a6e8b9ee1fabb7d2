#!/usr/bin/env bash
# Installs the Debian packages a task needs when they are missing.
# Usage: tools/deps.sh build|test|serve|bench
set -euo pipefail
kind=${1:-build}
packages=(cmake g++ make libgtest-dev libbenchmark-dev python3 libfcgi-dev)
case "$kind" in
  test) packages+=(apache2 lighttpd nginx chromium nodejs npm curl strace procps clang libclang-rt-14-dev) ;;
  serve) packages+=(apache2 nginx) ;;
  bench) packages+=(lighttpd nginx apache2-utils hyperfine curl) ;;
esac
# A package counts as present when Debian has it installed or, for tools
# that may come from elsewhere (Node.js and npm often do), its command exists.
command_of() {
  case "$1" in
    nodejs) echo node ;;
    procps) echo pgrep ;;
    g++|cmake|make|python3|npm|curl|chromium|lighttpd|nginx|hyperfine|clang|strace) echo "$1" ;;
    apache2) echo apache2 ;;
    apache2-utils) echo ab ;;
    *) echo "" ;;
  esac
}
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  cmd=$(command_of "$p")
  if [ -n "$cmd" ] && command -v "$cmd" >/dev/null 2>&1; then continue; fi
  missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
