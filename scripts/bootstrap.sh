#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent; run as root.
# Only missing packages are installed, and nothing already present is upgraded.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config git ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libzip-dev libxml2-dev nlohmann-json3-dev
  libpq-dev postgresql-15 postgresql-client-15 openssl
  libcpp-httplib-dev prometheus-cpp-dev libhnswlib-dev clang libclang-rt-dev python3
  chromium
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The machines ship Node.js 20 with its own npm, which conflicts with Debian's npm.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends --no-upgrade "${missing[@]}" >/dev/null
fi
echo "bootstrap: all packages present" >&2
