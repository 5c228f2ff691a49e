#!/usr/bin/env bash
# Installs the distribution `tarvik` with Python 2.7's own pip, offline, and
# with it pySerial 3.5 taken from Debian's python3-serial (pure Python, and
# unchanged on 2.7), so that both can later be removed with `pip uninstall`.
# Arguments go to both pip calls, e.g. --user, --prefix DIR, --target DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python27=${PYTHON27:-$("$root/scripts/find-python27.sh")}

"$python27" -m pip install --no-index "$@" "$root"

debian_serial=/usr/lib/python3/dist-packages/serial
if [ ! -f "$debian_serial/__init__.py" ]; then
  echo "install: pySerial not installed: Debian's python3-serial is missing (scripts/setup.sh)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$debian_serial" "$work/serial"
find "$work/serial" -name __pycache__ -prune -exec rm -rf {} +
cat >"$work/setup.py" <<'SETUP'
from setuptools import find_packages, setup
setup(name="pyserial", version="3.5", description="Python Serial Port Extension (from Debian's python3-serial)",
      license="BSD", packages=find_packages())
SETUP
"$python27" -m pip install --no-index "$@" "$work"
