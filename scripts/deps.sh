#!/usr/bin/env bash
# Installs the Debian packages that building and testing qvcp need, when any is missing.
# Sourced by run.sh and test.sh; runs apt-get only when something is absent.
# Installs those of the given Debian packages that are missing; nothing when all are there.
qv_apt_install() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

qv_deps_install() {
  # libssl-dev: the default TLS backend; openssl, tinyproxy, microsocks: the peers the transport
  # tests start on loopback ports (in the foreground, as the test user, no system service).
  # dpkg-dev: dpkg-shlibdeps, which writes the Debian package's dependencies; groff-base: groff,
  # which the package test renders the man pages with.
  qv_apt_install g++ cmake ninja-build libgtest-dev libbenchmark-dev libmbedtls-dev liblz4-dev libxxhash-dev \
    libssl-dev openssl tinyproxy microsocks dpkg-dev groff-base
}

# What ./fuzz.sh needs besides the build packages: clang and its libFuzzer runtime.
qv_fuzz_deps_install() {
  qv_apt_install clang libclang-rt-14-dev
}
