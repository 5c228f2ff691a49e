#!/usr/bin/env bash
# Prints the Python 2.7 interpreter to use: $PYTHON27, pyenv's 2.7.18, or
# python2.7 on PATH.  Fails when there is none.
if [ -n "${PYTHON27:-}" ] && [ -x "$PYTHON27" ]; then echo "$PYTHON27"; exit 0; fi
if command -v pyenv >/dev/null 2>&1; then
  prefix=$(pyenv prefix 2.7.18 2>/dev/null) && [ -x "$prefix/bin/python2.7" ] && { echo "$prefix/bin/python2.7"; exit 0; }
fi
command -v python2.7 && exit 0
exit 1
