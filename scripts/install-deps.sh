#!/usr/bin/env bash
# Installs everything a fresh Debian machine needs to build, test and run ostrel.
# Safe to run again: it only installs what is missing.
set -euo pipefail

debs=(
  build-essential pkg-config
  libssl-dev libasio-dev libsimdjson-dev libtomlplusplus-dev
  libhowardhinnant-date-dev tzdata libhiredis-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  redis-server
)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

PY=${PYTHON:-python3}
"$PY" -m pip install --quiet --disable-pip-version-check \
  'scikit-build-core>=0.10' ninja 'cmake>=3.24' pytest redis 'cryptography>=48'
