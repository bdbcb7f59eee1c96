#!/usr/bin/env bash
# Makes docs/screenshot.png: the real agente with its window on a virtual X
# display (Xvfb), a scratch station with two simulated readers holding a few
# registrations and a queued command, two cycles, then a picture of the
# window taken by the program itself (KELVOR_SCREENSHOT) after its last cycle.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/kelvor-shot-XXXXXX)
line=$work/ttyKelvor
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

cat >"$work/registry.reg" <<EOT
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]
"Estacion"=dword:00000001
"Espera"=dword:00000000
"TimeOut"=dword:00000001

[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Alias\\Kelvor]
"Driver"="QSQLITE"
"Database"="$work/kelvor.db"
"Directorio"="$work"
EOT
db() { "$build/tools/kelvordb/kelvordb" --registry "$work/registry.reg" "$@" >/dev/null; }
db init
db seed-demo --port "$line"
db encolar 1 A1 ALTA 00555AB

at() { date -d "$1" +%Y-%m-%dT%H:%M; }
"$build/tools/simulador/simulador" --link "$line" --state-file "$work/simulador.json" \
  --reader A --reg "11,123,$(at '-50 min')" --reg "11,200,$(at '-45 min')" \
  --reader B --reg "21,123,$(at '-20 min')" >/dev/null 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do [ -e "$line" ] && break; sleep 0.05; done

KELVOR_SCREENSHOT=$PWD/docs/screenshot.png XDG_RUNTIME_DIR=$work \
  xvfb-run -a -s "-screen 0 800x600x24" \
  "$build/core/agente" --registry "$work/registry.reg" --log-dir "$work" --cycles 2
echo "docs/screenshot.png"
