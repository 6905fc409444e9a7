#!/usr/bin/env bash
# Installs the Debian packages the library, its tests, benchmarks, fuzz
# targets and Python module need, and generates the German locale the report
# test switches to, when they are missing. Safe to run any number of times.
# Prints one line per step; the package tools' own output goes to a log shown
# only on failure.
set -euo pipefail

packages=(
  cmake g++ make pkg-config ccache
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libeigen3-dev libboost-math-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev
  clang libclang-rt-14-dev
  python3-dev python3-numpy pybind11-dev python3-pytest python3-scipy
  locales
)

log=$(mktemp -t zem-setup.XXXXXX)
trap 'rm -f "$log"' EXIT

# Runs one step with its output in the log; on failure shows the log and stops.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: failed: $*" >&2
    cat "$log" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all ${#packages[@]} Debian packages present"
else
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  quietly apt-get update
  quietly apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The text report must not change with the process locale; its test exports
# under "C" and under a German locale (decimal commas) and compares.
if locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "setup: locale de_DE.UTF-8 present"
elif [ "$(id -u)" -ne 0 ]; then
  echo "setup: locale de_DE.UTF-8 missing (run as root to generate it); the locale test will skip"
else
  echo "setup: generating locale de_DE.UTF-8"
  if ! grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    sed -i 's/^# *de_DE.UTF-8 UTF-8$/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  fi
  quietly locale-gen
fi
