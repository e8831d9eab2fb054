#!/usr/bin/env bash
# Installs every system package the project needs to build, run and test. Safe to run again: it
# only calls apt-get when something is missing. Needs root (or sudo) on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev qt6-translations-l10n xvfb xauth
  # The program's first-choice font (it draws every symbol our texts use, "℃" included) and a
  # fallback; the Chinese locale, for Qt's own dialogs and texts under LANG=zh_CN.UTF-8.
  fonts-noto-cjk fonts-wqy-microhei locales
  libmodbus-dev socat python3-pymodbus python3-serial python3-serial-asyncio
  # tests: the serial device server that bridges a TCP port to a simulator's line
  ser2net
  # talvekctl run --mqtt: the MQTT client library; tests: the broker and its command-line clients
  libmosquitto-dev mosquitto mosquitto-clients openssl
  # scripts/fuzz.sh: clang and its runtimes (libFuzzer, the sanitizers), which clang only
  # recommends.
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Chinese locale the README starts the workbench in.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  echo "Generating the zh_CN.UTF-8 locale"
  "${sudo_cmd[@]}" localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
