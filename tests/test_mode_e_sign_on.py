"""The IEC 62056-21 mode E sign-on: what goes on the line at which settings,
what the port is left with, and the errors for a meter that does not sign
on. First against a scripted pySerial port, then end to end against the
simulator's --mode-e."""

from __future__ import absolute_import, division, print_function

import os
import socket
import time
import unittest

import serial

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.transport import EchoCancelling, SerialLine, SignOnError, mode_e_sign_on

try:
    from tarvik.brenlo import hdlcprotocol
except ImportError:
    hdlcprotocol = None

from support.simulator import LATE_TOLERANCE, line_time, new_link, opened, started

ACK = b"\x06"


class PublicPort(object):
    """A port with nothing but pySerial's public interface, and a meter
    behind it that answers a complete sign-on request with a scripted
    reply. It records each write with its time and the settings in force,
    and refuses what `refuses(old, new)` says, as some devices refuse some
    formats; `unplug_after` writes, every change of settings fails."""

    def __init__(self, reply, refuses=lambda old, new: False, unplug_after=None, **settings):
        self.settings = dict(serial.Serial().get_settings(), **settings)
        self.reply = bytearray(reply)
        self.refuses = refuses
        self.unplug_after = unplug_after
        self.incoming = bytearray()
        self.writes = []
        self.changes = []

    def get_settings(self):
        return dict(self.settings)

    def apply_settings(self, changes):
        new = dict(self.settings, **changes)
        if self.unplug_after is not None and len(self.writes) >= self.unplug_after:
            raise serial.SerialException("device disconnected")
        if self.refuses(self.settings, new):
            raise serial.SerialException("(22, 'Invalid argument')")
        self.settings = new
        self.changes.append((time.time(), self.line()))

    @property
    def timeout(self):
        return self.settings["timeout"]

    @property
    def baudrate(self):
        return self.settings["baudrate"]

    def line(self):
        return tuple(self.settings[name] for name in ("baudrate", "bytesize", "parity", "stopbits"))

    def write(self, data):
        self.writes.append((time.time(), bytes(data), self.line()))
        if data.endswith(b"!\r\n"):
            self.incoming += self.reply
        return len(data)

    def read(self, size=1):
        got = bytes(self.incoming[:size])
        del self.incoming[:size]
        return got

    def read_until(self, expected, size):
        end = self.incoming.find(expected)
        return self.read(size if end < 0 else min(size, end + len(expected)))

    def flush(self):
        pass

    def reset_input_buffer(self):
        del self.incoming[:]


def refuses_parity_above_2400(old, new):
    """Like some ptys: 7N1, 8E1 and 7E1 only at the lower rates."""
    return new["baudrate"] > 2400 and (new["bytesize"], new["parity"]) != (8, "N")


SIGN_ON_LINE = (300, 7, "E", 1)
SETTINGS = dict(baudrate=9600, timeout=1.5, xonxoff=True)
SLACK = 0.005


class SignOnTest(unittest.TestCase):

    def test_each_offered_rate_is_acknowledged_after_the_reaction_time_and_taken_at_8n1(self):
        for rate, baud in enumerate((300, 600, 1200, 2400, 4800, 9600, 19200)):
            identification = b"/LGZ%d\\2ZMD3104107.B32" % rate
            port = PublicPort(identification + b"\r\n", refuses_parity_above_2400, **SETTINGS)
            begun = time.time()
            self.assertEqual(mode_e_sign_on(port), identification.decode())
            (_, request, request_line), (acknowledged, ack, ack_line) = port.writes
            self.assertEqual((request, request_line), (b"/?!\r\n", SIGN_ON_LINE))
            self.assertEqual((ack, ack_line), (ACK + b"2%d2\r\n" % rate, SIGN_ON_LINE))
            self.assertGreaterEqual(acknowledged - begun, 0.2 - SLACK)
            switched, line = port.changes[-1]
            self.assertEqual(port.line(), (baud, 8, "N", 1))
            self.assertGreaterEqual(switched - acknowledged, line_time(len(ack), 300) - SLACK)
            self.assertEqual((port.timeout, port.settings["xonxoff"]), (1.5, True))

    def test_address_short_reaction_time_and_a_meter_without_hdlc(self):
        port = PublicPort(b"/ISk5MT382-1000\r\n")
        begun = time.time()
        self.assertEqual(mode_e_sign_on(port, u"12345678", require_hdlc=False), "/ISk5MT382-1000")
        self.assertEqual(port.writes[0][1], b"/?12345678!\r\n")
        if not os.environ.get("TARVIK_MEMCHECK"):  # valgrind makes the code between slower
            self.assertLess(port.writes[1][0] - begun, 0.2)  # lower-case third letter: 20 ms
        port = PublicPort(b"/LGZ5\\2ZMD\r\n")
        mode_e_sign_on(port, reaction_time=0.5)
        self.assertGreaterEqual(port.writes[1][0] - port.writes[0][0], 0.5 - SLACK)

    def test_wake_up_sends_nuls_for_2_2_s_then_pauses(self):
        port = PublicPort(b"/LGZ5\\2ZMD\r\n", **SETTINGS)
        mode_e_sign_on(port, wake_up=True)
        (woken, nuls, line), (asked, request, _), _ = port.writes
        self.assertEqual((nuls, line), (b"\0" * 66, SIGN_ON_LINE))
        self.assertGreaterEqual(asked - woken, 2.2 + 1.6 - SLACK)


class FailedSignOnTest(unittest.TestCase):

    REPLIES = [
        ("silent meter", b"", "no identification"),
        ("no slash", b"LGZ5ZMD\r\n", "not a mode E identification"),
        ("mode B baud character", b"/LGZAZMD\r\n", "not a mode E identification"),
        ("baud character beyond 19200", b"/LGZ7ZMD\r\n", "not a mode E identification"),
        ("no identification text", b"/LGZ5\r\n", "not a mode E identification"),
        ("no CR LF", b"/LGZ5ZMD3104107", "not a mode E identification"),
        ("control character", b"/LGZ5ZM\x00D\r\n", "not a mode E identification"),
        ("endless line", b"/LGZ5" + b"Z" * 200 + b"\r\n", "not a mode E identification"),
        ("no HDLC", b"/LGZ5ZMD\r\n", "offers no HDLC"),
        ("another mode", b"/LGZ5\\1ZMD\r\n", "offers no HDLC"),
    ]

    def test_each_bad_reply_raises_and_restores_the_port(self):
        for name, reply, message in self.REPLIES:
            port = PublicPort(reply, refuses_parity_above_2400, **SETTINGS)
            before = port.get_settings()
            with self.assertRaises(SignOnError) as raised:
                mode_e_sign_on(port)
            self.assertIn(message, str(raised.exception), name)
            self.assertIsNone(raised.exception.restore_error, name)
            self.assertEqual(port.get_settings(), before, name)
            self.assertEqual([data for _, data, _ in port.writes], [b"/?!\r\n"], name)

    def test_a_failed_restore_leaves_the_first_error_and_the_settings_the_port_has(self):
        for error, port in [(SignOnError, PublicPort(b"", unplug_after=1, **SETTINGS)),
                            (KeyboardInterrupt, PublicPort(b"/LGZ5\\2ZMD\r\n", unplug_after=1, **SETTINGS))]:
            if error is KeyboardInterrupt:
                def interrupted(*args):
                    raise KeyboardInterrupt()
                port.read_until = interrupted
            with self.assertRaises(error) as raised:
                mode_e_sign_on(port)
            self.assertIn("disconnected", str(raised.exception.restore_error))
            self.assertEqual(port.line(), SIGN_ON_LINE)

    def test_bad_address_or_a_port_without_settings_touches_nothing(self):
        for address in ("12!", "/?", "x" * 33, u"caf\xe9"):
            port = PublicPort(b"/LGZ5\\2ZMD\r\n", **SETTINGS)
            before = port.get_settings()
            self.assertRaises(ValueError, mode_e_sign_on, port, address)
            self.assertEqual((port.writes, port.get_settings()), ([], before), address)
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        for url in ["loop://", "socket://127.0.0.1:%d" % listener.getsockname()[1]]:
            port = serial.serial_for_url(url, timeout=1)
            self.addCleanup(port.close)
            with self.assertRaises(ValueError) as raised:
                mode_e_sign_on(port)
            self.assertIn("cannot change its baud rate", str(raised.exception))
            self.assertEqual(port.baudrate, 9600)


class SimulatedOpticalPortTest(unittest.TestCase):
    """mode_e_sign_on against the simulator's --mode-e, on both ports, and
    on a probe that echoes."""

    TIMEOUT = 3

    def open_port(self, port_class, *options):
        meter = started(self, "--mode-e", *options)
        return opened(self, meter.path, port_class, baudrate=2400, timeout=self.TIMEOUT)

    def test_sign_on_then_a_link_at_9600(self):
        for port_class, options, stream in [(serial.Serial, (), None),
                                            (SerialLine, (), None),
                                            (serial.Serial, ("--echo",), EchoCancelling)]:
            port = self.open_port(port_class, "--identification", "/TVK5\\2TARVIK",
                                  "--sign-on-address", "12345678", *options)
            self.assertEqual(mode_e_sign_on(port, "0012345678"), "/TVK5\\2TARVIK")
            self.assertEqual((port.baudrate, port.bytesize, port.parity, port.stopbits),
                             (9600, 8, "N", 1))
            if hdlcprotocol is None:
                continue  # an interpreter without the module: the sign-on only
            link = new_link(stream(port) if stream else port)
            link.connect()
            request = bytearray(range(200))
            self.assertEqual(link.send_receive(request).to_list(), list(request))
            link.disconnect()
            self.assertEqual(link.State, HDLCProtocolState.NDM)

    def test_meter_that_does_not_sign_on_gives_the_error_within_the_time_out(self):
        # The replies a meter may give instead are FailedSignOnTest's.
        port = self.open_port(serial.Serial, "--sign-on-address", "12345678")
        before = port.get_settings()
        begun = time.time()
        with self.assertRaises(SignOnError) as raised:
            mode_e_sign_on(port, "87654321")
        self.assertLess(time.time() - begun, self.TIMEOUT + LATE_TOLERANCE)
        self.assertIn("no identification", str(raised.exception))
        self.assertEqual(port.get_settings(), before)


if __name__ == "__main__":
    unittest.main()
