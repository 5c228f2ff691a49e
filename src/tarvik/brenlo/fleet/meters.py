"""The meters file: which meters to read, on which lines, with what.

A meters file is CSV with a header line, or JSON lines (one object a
line); blank lines and lines starting with C{#} are skipped. Each record
names one meter:

  - C{line} (required): the device path of a serial line, or
    C{socket://host:port} for a meter behind a TCP gateway.
  - C{requests} (required): the requests, each as hex; in CSV separated
    by spaces, in JSON a list or one such string.
  - C{id}: the meter's name in the results (default C{line#upper/lower});
    unique in the file.
  - C{client}, C{server_upper}, C{server_lower}, C{address_size}: the HDLC
    addresses (16, 1, 0, 1).
  - C{baud} (9600), C{echo} (false: the line hands back what is sent, as
    on an optical probe or RS-485 adapter), C{mode_e} (false: open an
    optical port with the IEC 62056-21 mode E sign-on first).
  - C{timeout}: the port's read time-out in seconds (2).
  - C{retries}: how often the session opens the link again (3).
  - C{disc_wait_ms}: milliseconds to wait after the closing DISC (100).
  - C{machine}: the machine a serial line is attached to (default: the one
    that starts the read).
  - C{line_sessions}: sessions the line carries at once (1); a TCP gateway
    that connects several sessions to its meters takes more.
"""

from __future__ import absolute_import, division, print_function

import binascii
import csv
import io
import json

SOCKET_PREFIX = "socket://"

_DEFAULTS = {
    "client": 16, "server_upper": 1, "server_lower": 0, "address_size": 1,
    "baud": 9600, "echo": False, "mode_e": False, "timeout": 2.0,
    "retries": 3, "disc_wait_ms": 100, "machine": None, "line_sessions": 1,
}
_INTEGERS = ("client", "server_upper", "server_lower", "address_size", "baud",
             "retries", "disc_wait_ms", "line_sessions")
_FIELDS = frozenset(_DEFAULTS) | frozenset(("id", "line", "requests"))


class MetersFileError(ValueError):
    """A record of the meters file that cannot be read; the message names
    the file's line."""


class Meter(object):
    """One meter to read: a plain record of the fields above, with
    C{requests} as a list of C{bytearray}s."""

    def __init__(self, line, requests, id=None, **fields):
        unknown = set(fields) - _FIELDS
        if unknown:
            raise ValueError("unknown field(s): %s" % ", ".join(sorted(unknown)))
        self.line = line
        self.requests = [bytearray(r) for r in requests]
        for name, default in _DEFAULTS.items():
            setattr(self, name, fields.get(name, default))
        self.id = id or "%s#%d/%d" % (line, self.server_upper, self.server_lower)

    @property
    def is_socket(self):
        """True for a meter behind a TCP gateway."""
        return self.line.startswith(SOCKET_PREFIX)

    def as_dict(self):
        """The record as JSON-ready fields (requests as hex), such that
        C{Meter(**meter.as_dict())} is the same meter."""
        fields = dict((name, getattr(self, name)) for name in _DEFAULTS)
        fields.update(id=self.id, line=self.line,
                      requests=[to_hex(r) for r in self.requests])
        return fields

    @classmethod
    def from_dict(cls, fields):
        """The meter of a record as C{as_dict} gives it, or as a meters
        file holds it (values may be text).

        @raise ValueError: a field is missing, unknown or malformed.
        """
        fields = dict((k, v) for k, v in fields.items() if v not in (None, ""))
        for name in ("line", "requests"):
            if name not in fields:
                raise ValueError("no %s" % name)
        requests = fields.pop("requests")
        if not isinstance(requests, list):
            requests = requests.split()
        fields["requests"] = [_unhex(r) for r in requests]
        for name in _INTEGERS:
            if name in fields:
                fields[name] = int(fields[name])
        if "timeout" in fields:
            fields["timeout"] = float(fields["timeout"])
        for name in ("echo", "mode_e"):
            if name in fields:
                fields[name] = _flag(fields[name])
        if fields.get("line_sessions", 1) < 1:
            raise ValueError("line_sessions must be 1 or more")
        return cls(**fields)


def read_meters(path):
    """The meters of a file, CSV or JSON lines (told apart by the first
    character that is not blank: C{{} starts JSON lines).

    @return: a list of L{Meter}s in the file's order.
    @raise MetersFileError: a record cannot be read, or two share an id.
    """
    with io.open(path, encoding="utf-8") as f:
        lines = [(number, text) for number, text in enumerate(f, 1)
                 if text.strip() and not text.lstrip().startswith("#")]
    if lines and lines[0][1].lstrip().startswith("{"):
        records = [(number, _json_record(text, path, number)) for number, text in lines]
    else:
        rows = csv.DictReader([text for _, text in lines], skipinitialspace=True)
        records = [(number, row) for (number, _), row in zip(lines[1:], rows)]
    meters, seen = [], {}
    for number, record in records:
        try:
            meter = Meter.from_dict(record)
        except (ValueError, TypeError) as e:
            raise MetersFileError("%s, line %d: %s" % (path, number, e))
        if meter.id in seen:
            raise MetersFileError("%s, line %d: meter %s appears already on line %d"
                                  % (path, number, meter.id, seen[meter.id]))
        seen[meter.id] = number
        meters.append(meter)
    return meters


def _json_record(text, path, number):
    try:
        record = json.loads(text)
    except ValueError as e:
        raise MetersFileError("%s, line %d: %s" % (path, number, e))
    if not isinstance(record, dict):
        raise MetersFileError("%s, line %d: not a JSON object" % (path, number))
    return record


def _flag(value):
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in ("1", "true", "yes", "on"):
        return True
    if text in ("0", "false", "no", "off"):
        return False
    raise ValueError("not a yes/no value: %r" % (value,))


def to_hex(data):
    return binascii.hexlify(bytes(data)).decode("ascii").upper()


def _unhex(text):
    try:
        return bytearray(binascii.unhexlify("".join(str(text).split())))
    except (TypeError, ValueError, binascii.Error):
        raise ValueError("not a hex request: %r" % (text,))
