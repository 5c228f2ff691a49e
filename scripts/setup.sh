#!/usr/bin/env bash
# Installs what the project needs from Debian, when it is missing, and checks
# that Python 2.7 with its headers is there.  Safe to run again and again.
#
#   scripts/setup.sh build   building and running: compiler, CMake, pySerial
#   scripts/setup.sh test    the above, and the test tools: GoogleTest, Google
#                            Benchmark, valgrind, clang with libFuzzer, socat,
#                            virtualenv, prlimit (util-linux), pycodestyle,
#                            clang-format, and the fleet's packages below
#   scripts/setup.sh fleet   building, and reading a fleet (make fleet-demo):
#                            Celery, redis and kombu for Python 3, redis-server
set -euo pipefail

build_packages=(cmake g++ make python3-dev python3-serial python3-venv)
fleet_packages=(python3-celery python3-redis python3-kombu redis-server)
test_packages=(clang libclang-rt-dev libgtest-dev libbenchmark-dev valgrind socat python3-virtualenv util-linux pycodestyle
               clang-format "${fleet_packages[@]}")

case "${1:-build}" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  fleet) packages=("${build_packages[@]}" "${fleet_packages[@]}") ;;
  *) echo "usage: $0 [build|test|fleet]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python27=$("$(dirname "$0")/find-python27.sh") || {
  echo "setup: Python 2.7 not found. Install it (pyenv install 2.7.18) or set PYTHON27=/path/to/python2.7." >&2
  exit 1
}
"$python27" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' || {
  echo "setup: $python27 has no headers (Python.h); the module cannot be built." >&2
  exit 1
}
