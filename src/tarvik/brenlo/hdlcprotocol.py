"""Stands in for the compiled module in a source tree that was not built.

The real tarvik.brenlo.hdlcprotocol is a C++ extension (hdlcprotocol.so);
an interpreter prefers it to this file wherever both lie side by side, so
this file is reached only when the sources themselves are on sys.path.
It is neither staged by the build nor installed.
"""

raise ImportError(
    "tarvik.brenlo.hdlcprotocol is not built: this is the source tree (%s). "
    "Install the package with `pip install .` from the repository root, or "
    "run `make build` and put build/python2 (or build/python3) on PYTHONPATH." % __file__)
