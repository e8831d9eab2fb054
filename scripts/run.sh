#!/usr/bin/env bash
# Installs what is missing, builds, and opens the workbench on a demo project whose S7-200 PLC is
# the simulator ppisim on a pseudo-terminal mapped to Com1, with moving values.
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
# store (build/config), the demo project (build/demo) and the simulator's line (build/demo/Com1).
# The simulator stops when the workbench exits.
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
cmake --build "$build" --target talvek ppisim regsvr Ostrel Lexvar Almery Ondrel Tesvic talvek_demo

bin=$build/bin
export TALVEK_CONFIG_DIR=$build/config
mkdir -p "$TALVEK_CONFIG_DIR"
"$bin/regsvr" "$bin/libOstrel.so" >/dev/null

demo=$build/demo
link=$demo/Com1
fresh=()
if [[ ${TALVEK_FRESH_DEMO:-0} == 1 ]]; then
  fresh=(--fresh)
fi
project=$("$bin/talvek_demo" "${fresh[@]}" --port-link "$link" "$demo")

mapfile -t sim_args <"$demo/ppisim.args"
log=$demo/ppisim.log
# The simulator reads commands on its standard input and ends when that closes, so it cannot
# outlive this script even if the script is killed.
coproc SIM { exec "$bin/ppisim" --link "$link" --baud 9600 --memory "$demo/demo.mem" \
  --log "$log" "${sim_args[@]}"; }
sim_pid=$SIM_PID
exec {sim_in}>&"${SIM[1]}"
stop_sim() {
  if kill -0 "$sim_pid" 2>/dev/null; then
    echo quit >&"$sim_in" 2>/dev/null || true
    exec {sim_in}>&-
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap stop_sim EXIT

# The first line, "PTY <path>", comes once the line and its link are ready.
if ! read -r -t 10 first <&"${SIM[0]}" || [[ $first != PTY* ]]; then
  echo "run.sh: the PLC simulator did not start (log: $log)" >&2
  exit 1
fi
echo "PLC simulator: station 2 on ${first#PTY } (Com1 = $link), 9600 baud; log $log"

"$bin/talvek" "$project" "$@"
