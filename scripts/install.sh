#!/usr/bin/env bash
# Installs the distribution `tarvik` with the given interpreter's own pip,
# offline:
#   scripts/install.sh PYTHON [PIP OPTIONS...]   e.g. --user, --prefix DIR, --target DIR
# On Python 3, pySerial is Debian's python3-serial (a virtual environment
# made with --system-site-packages sees it).  Python 2.7 gets a copy of the
# same package (pure Python, unchanged on 2.7), installed with pip, so that
# both can later be removed with `pip uninstall`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$1
shift

"$python" -m pip install --no-index "$@" "$root"
"$python" -c 'import sys; sys.exit(sys.version_info[0] != 2)' || exit 0

debian_serial=$(/usr/bin/python3 -c 'import os, serial; print(os.path.dirname(serial.__file__))' 2>/dev/null) || {
  echo "install: pySerial not installed: Debian's python3-serial is missing (scripts/setup.sh)" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$debian_serial" "$work/serial"
find "$work/serial" -name __pycache__ -prune -exec rm -rf {} +
cat >"$work/setup.py" <<'SETUP'
from setuptools import find_packages, setup
setup(name="pyserial", version="3.5", description="Python Serial Port Extension (from Debian's python3-serial)",
      license="BSD", packages=find_packages())
SETUP
"$python" -m pip install --no-index "$@" "$work"
