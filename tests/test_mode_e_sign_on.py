"""The IEC 62056-21 mode E sign-on: what goes on the line at which settings,
what the port is left with, and the errors for a meter that does not sign
on. First against a scripted pySerial port, then end to end against the
simulator's --mode-e."""

import time
import unittest

import serial
from serial.serialutil import SerialBase

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.transport import EchoCancelling, SerialLine, SignOnError, mode_e_sign_on

from support.simulator import LATE_TOLERANCE, new_link, opened, started

ACK = "\x06"


class ScriptedMeterPort(SerialBase):
    """A pySerial port with a meter that answers a complete sign-on request
    with a scripted reply. It records each write and flush with the line
    settings in force then."""

    def __init__(self, reply, **settings):
        self.reply = reply
        self.incoming = bytearray()
        self.events = []
        SerialBase.__init__(self, port="scripted", **settings)

    def open(self):
        self.is_open = True

    def _reconfigure_port(self, force_update=False):
        pass

    def line(self):
        return (self._baudrate, self._bytesize, self._parity, self._stopbits)

    def write(self, data):
        self.events.append(("write", data, self.line()))
        if data.endswith("!\r\n"):
            self.incoming += self.reply
        return len(data)

    def read(self, size=1):
        got = bytes(self.incoming[:size])
        del self.incoming[:size]
        return got

    def flush(self):
        self.events.append(("flush", None, self.line()))

    def reset_input_buffer(self):
        del self.incoming[:]


SIGN_ON_LINE = (300, 7, "E", 1)
SETTINGS = dict(baudrate=2400, timeout=1.5, xonxoff=True)


class SignOnTest(unittest.TestCase):

    def test_each_offered_rate_is_acknowledged_and_taken_at_8n1(self):
        for rate, baud in enumerate((300, 600, 1200, 2400, 4800, 9600, 19200)):
            identification = "/LGZ%d\\2ZMD3104107.B32" % rate
            port = ScriptedMeterPort(identification + "\r\n", **SETTINGS)
            self.assertEqual(mode_e_sign_on(port), identification)
            self.assertEqual(port.events, [
                ("write", "/?!\r\n", SIGN_ON_LINE),
                ("write", ACK + "2%d2\r\n" % rate, SIGN_ON_LINE),
                ("flush", None, SIGN_ON_LINE)])
            self.assertEqual(port.line(), (baud, 8, "N", 1))
            self.assertEqual((port.timeout, port.xonxoff), (1.5, True))

    def test_address_is_sent_and_the_escape_is_optional(self):
        port = ScriptedMeterPort("/ISk5MT382-1000\r\n")
        self.assertEqual(mode_e_sign_on(port, u"12345678"), "/ISk5MT382-1000")
        self.assertEqual(port.events[0][1], "/?12345678!\r\n")

class FailedSignOnTest(unittest.TestCase):

    REPLIES = [
        ("silent meter", "", "no identification"),
        ("no slash", "LGZ5ZMD\r\n", "not a mode E identification"),
        ("mode B baud character", "/LGZAZMD\r\n", "not a mode E identification"),
        ("baud character beyond 19200", "/LGZ7ZMD\r\n", "not a mode E identification"),
        ("no identification text", "/LGZ5\r\n", "not a mode E identification"),
        ("no CR LF", "/LGZ5ZMD3104107", "not a mode E identification"),
        ("control character", "/LGZ5ZM\x00D\r\n", "not a mode E identification"),
        ("endless line", "/LGZ5" + "Z" * 200 + "\r\n", "not a mode E identification"),
    ]

    def test_each_bad_reply_raises_and_restores_the_port(self):
        for name, reply, message in self.REPLIES:
            port = ScriptedMeterPort(reply, **SETTINGS)
            before = port.get_settings()
            with self.assertRaises(serial.SerialException) as raised:
                mode_e_sign_on(port)
            self.assertIsInstance(raised.exception, SignOnError, name)
            self.assertIn(message, str(raised.exception), name)
            self.assertEqual(port.get_settings(), before, name)
            self.assertEqual([event for event in port.events if event[0] != "write" or event[1][0] == ACK],
                             [], name)

    def test_bad_address_touches_nothing(self):
        for address in ("12!", "/?", "x" * 33, u"caf\xe9"):
            port = ScriptedMeterPort("/LGZ5ZMD\r\n", **SETTINGS)
            before = port.get_settings()
            self.assertRaises(ValueError, mode_e_sign_on, port, address)
            self.assertEqual((port.events, port.get_settings()), ([], before), address)


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
            port = self.open_port(port_class, "--identification", "/TVK5\\2TARVIK", *options)
            self.assertEqual(mode_e_sign_on(port), "/TVK5\\2TARVIK")
            self.assertEqual((port.baudrate, port.bytesize, port.parity, port.stopbits),
                             (9600, 8, "N", 1))
            link = new_link(stream(port) if stream else port)
            link.connect()
            request = bytearray(range(200))
            self.assertEqual(link.send_receive(request).to_list(), list(request))
            link.disconnect()
            self.assertEqual(link.State, HDLCProtocolState.NDM)

    def test_meter_that_does_not_sign_on_gives_the_error_within_the_time_out(self):
        for name, options, address, message in [
                ("silent meter", ("--sign-on-address", "12345678"), "87654321", "no identification"),
                ("malformed identification", ("--identification", "/TV5\\2TARVIK"), "",
                 "not a mode E identification")]:
            port = self.open_port(serial.Serial, *options)
            before = port.get_settings()
            begun = time.time()
            with self.assertRaises(SignOnError) as raised:
                mode_e_sign_on(port, address)
            self.assertLess(time.time() - begun, self.TIMEOUT + LATE_TOLERANCE, name)
            self.assertIn(message, str(raised.exception), name)
            self.assertEqual(port.get_settings(), before, name)


if __name__ == "__main__":
    unittest.main()
