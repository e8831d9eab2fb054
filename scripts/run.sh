#!/usr/bin/env bash
# Installs what is missing, builds, and opens the workbench on a demo project whose S7-200 PLC is
# the simulator ppisim on a pseudo-terminal mapped to Com1, whose Modbus TCP device (Com2) is
# the server tools/modbuspeer/modbus_peer.py on 127.0.0.1, and whose Ethernet PLC (an S7-300/400
# on ISO-on-TCP, Com3) is the same simulator's TCP side on 127.0.0.1, all with moving values.
#
#   scripts/run.sh                        the workbench on the demo project
#   scripts/run.sh --start                ... and communication started at once
#   scripts/run.sh --start --screenshot docs/screenshots/demo-running.png
#                                         a picture of the running demo, then the workbench quits
#
# The demo project is written on the first run and kept afterwards (edits to it survive);
# TALVEK_FRESH_DEMO=1 writes it anew.
#
# Everything the run writes stays in the build folder (build/, or $TALVEK_BUILD_DIR): the registry
# store (build/config), the demo project (build/demo), the simulator's line (build/demo/Com1) and
# the logs of both servers. The Modbus server listens on TCP port 15020 ($TALVEK_DEMO_MODBUS_PORT),
# the simulator's ISO-on-TCP side on 15102 ($TALVEK_DEMO_S7_PORT); a kept demo project keeps the
# ports it was written with (TALVEK_FRESH_DEMO=1 adds the Ethernet PLC to a demo written before
# it existed). Both servers stop when the workbench exits.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "run.sh: run it on a desktop, or under a virtual one: xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

build=$(realpath -m "${TALVEK_BUILD_DIR:-build}")

scripts/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target talvek ppisim regsvr Ostrel Lexvar ZireviVer Kestavo Almery Ondrel \
  Tesvic talvek_demo talvekctl

bin=$build/bin
export TALVEK_CONFIG_DIR=$build/config
mkdir -p "$TALVEK_CONFIG_DIR"
"$bin/regsvr" "$bin/libOstrel.so" >/dev/null
"$bin/regsvr" "$bin/libZireviVer.so" >/dev/null
"$bin/regsvr" "$bin/libKestavo.so" >/dev/null

demo=$build/demo
link=$demo/Com1
fresh=()
if [[ ${TALVEK_FRESH_DEMO:-0} == 1 ]]; then
  fresh=(--fresh)
fi
modbus_port=${TALVEK_DEMO_MODBUS_PORT:-15020}
s7_port=${TALVEK_DEMO_S7_PORT:-15102}
project=$("$bin/talvek_demo" "${fresh[@]}" --port-link "$link" --modbus-port "$modbus_port" \
  --s7-port "$s7_port" "$demo")

sim_pid=
peer_pid=
peer_in=
stop_servers() {
  if [[ -n $peer_in ]]; then
    exec {peer_in}>&-
    peer_in=
  fi
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    echo quit >&"$sim_in" 2>/dev/null || true
    exec {sim_in}>&-
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [[ -n $peer_pid ]]; then
    wait "$peer_pid" 2>/dev/null || true
  fi
}
trap stop_servers EXIT

# The Modbus server reads commands on its standard input and ends when that closes, so it cannot
# outlive this script either. Its input and output are FIFOs (the simulator below has the one
# coprocess bash keeps); they are unlinked once both ends are open. Bash hands its descriptors to
# every program it starts, so the simulator and the workbench are started without these two: the
# server's input then closes as soon as this script ends.
peer_log=$demo/modbus_peer.log
fifos=$(mktemp -d)
mkfifo "$fifos/in" "$fifos/out"
/usr/bin/python3 tools/modbuspeer/modbus_peer.py --tcp "$modbus_port" --moving \
  <"$fifos/in" >"$fifos/out" 2>"$peer_log" &
peer_pid=$!
exec {peer_in}>"$fifos/in" {peer_out}<"$fifos/out"
rm -rf "$fifos"
# Its first line, "READY <port>", comes once it listens.
if ! read -r -t 20 ready <&"$peer_out" || [[ $ready != READY* ]]; then
  echo "run.sh: the Modbus server did not start on port $modbus_port (log: $peer_log)" >&2
  exit 1
fi
echo "Modbus server: unit 1 on 127.0.0.1:${ready#READY }, moving values; log $peer_log"

mapfile -t sim_args <"$demo/ppisim.args"
log=$demo/ppisim.log
# The simulator reads commands on its standard input and ends when that closes, so it cannot
# outlive this script even if the script is killed.
coproc SIM { exec "$bin/ppisim" --link "$link" --baud 9600 --memory "$demo/demo.mem" \
  --tcp "$s7_port" --log "$log" "${sim_args[@]}" {peer_in}>&- {peer_out}<&-; }
exec {sim_in}>&"${SIM[1]}"
sim_pid=$SIM_PID

# The first line, "PTY <path>", comes once the line and its link are ready.
if ! read -r -t 10 first <&"${SIM[0]}" || [[ $first != PTY* ]]; then
  echo "run.sh: the PLC simulator did not start (log: $log)" >&2
  exit 1
fi
echo "PLC simulator: station 2 on ${first#PTY } (Com1 = $link), 9600 baud; log $log"
# The second line, "TCP <port>", once its ISO-on-TCP side listens.
if ! read -r -t 10 second <&"${SIM[0]}" || [[ $second != TCP* ]]; then
  echo "run.sh: the PLC simulator's TCP side did not start on port $s7_port (log: $log)" >&2
  exit 1
fi
echo "PLC simulator: ISO-on-TCP on 127.0.0.1:${second#TCP } (rack 0, slot 2), DB10; log $log"

"$bin/talvek" "$project" "$@" {peer_in}>&- {peer_out}<&-
