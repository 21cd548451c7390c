#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent: quiet when everything is present, `apt-get update` only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates openssl
  libnats-dev nats-server
  libjson-c-dev libsodium-dev libb64-dev libcurl4-openssl-dev uuid-dev
  libmagic-dev libarchive-dev libcpp-httplib-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages and not root; install them with: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "deps: done"
