#!/usr/bin/env bash
# Installs what is missing, builds the printer application with the filter
# and the PPDs, and runs it in the foreground on http://localhost:PORT/ (8000
# unless given), its state and spool folder in build/app-home. The server
# never runs as root: started by root, it runs as the user who called sudo,
# or as nobody. That user (and root) administers it.
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-8000}"
# PAPPL keeps running without its port when another program holds it.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "app/run-app.sh: port $port is in use (by the tmk-printer-app service?); try app/run-app.sh 8080" >&2
  exit 1
fi
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tmk-printer-app rastertoTmkLabel ppds
home="$PWD/build/app-home"
mkdir -p "$home"
user=$(id -un)
as=()
if [ "$(id -u)" -eq 0 ]; then
  user=nobody
  [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] && user=$SUDO_USER
  chown -R "$user:" "$home"
  as=(runuser -u "$user" --)
fi
echo "tmk-printer-app: web page http://localhost:$port/, IPP ipp://localhost:$port/ipp/print/NAME"
echo "tmk-printer-app: running as $user; its command line: ${as[*]:+${as[*]} }build/app/tmk-printer-app printers"
exec "${as[@]}" build/app/tmk-printer-app server -o server-port="$port" -o log-level=info \
  -o spool-directory="$home/spool" -o state-file="$home/state" -o admin-group="$(id -gn "$user")" \
  -o tmk-filter="$PWD/build/src/rastertoTmkLabel" -o tmk-ppd-directory="$PWD/build/ppd"
