"""One meter read: open its line, one whole session, close, as a record.

L{read_meter} is what a fleet task runs; it never raises for what the
meter, the line or the port do: a failed read is a record too.
"""

from __future__ import absolute_import, division, print_function

import socket
import time

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.fleet.meters import to_hex
from tarvik.brenlo.session import Session
from tarvik.brenlo.transport import EchoCancelling, SerialLine, mode_e_sign_on

# The port's read time-out during the 300-baud mode E opening.
MODE_E_TIMEOUT = 3.0


def open_line(meter):
    """An open port to the meter: a TCP gateway's socket, or its serial
    line (signed on first with mode E, echo cancelled when it echoes)."""
    if meter.is_socket:
        return serial.serial_for_url(meter.line, timeout=meter.timeout)
    if meter.mode_e:
        port = SerialLine(meter.line, timeout=MODE_E_TIMEOUT)
        try:
            mode_e_sign_on(port)
        except Exception:
            port.close()
            raise
        port.timeout = meter.timeout
    else:
        port = SerialLine(meter.line, baudrate=meter.baud, timeout=meter.timeout)
    return port


def parameters(meter):
    """The meter's HDLC addresses as the link's parameters."""
    return HDLCParameters(ClientMACAddress=meter.client,
                          ServerUpperMACAddressValue=meter.server_upper,
                          ServerLowerMACAddressValue=meter.server_lower,
                          ServerAddressSize=meter.address_size,
                          DiscToNDMTimeout=meter.disc_wait_ms)


def run_session(meter, port, on_link_up):
    """One session on an open port: open the link, send every request,
    close the link. The link opens with a DISC, since a reader that died
    may have left it up.

    @return: the answers, as C{bytearray}s.
    """
    stream = EchoCancelling(port) if meter.echo or meter.mode_e else port
    session = Session(parameters(meter), stream, retries=meter.retries, baudrate=meter.baud,
                      on_link_up=on_link_up, disconnect_first=True)
    try:
        session.open()
        return [session.request(request) for request in meter.requests]
    finally:
        session.close()


def read_meter(meter, clock=time.time):
    """Reads one meter.

    @return: the result record, JSON-ready: C{id}, C{line}, C{ok},
        C{answers} (hex, one per request), C{connect_s} (from the start to
        the first link up, None when it never came up), C{total_s},
        C{retries} (times the link was opened again after the first), and
        when not C{ok}, C{error} (the exception's class name, e.g.
        C{LinkTimeout}) and C{message}.
    """
    start = clock()
    link_ups = []
    record = {"id": meter.id, "line": meter.line, "ok": False, "answers": [],
              "connect_s": None, "retries": 0}
    port = None
    try:
        port = open_line(meter)
        answers = run_session(meter, port, lambda session: link_ups.append(clock()))
        record.update(ok=True, answers=[to_hex(a) for a in answers])
    except (BrenloException, EnvironmentError, serial.SerialException, socket.error) as e:
        record.update(error=type(e).__name__, message=str(e))
    finally:
        if port is not None:
            port.close()
    if link_ups:
        record.update(connect_s=round(link_ups[0] - start, 4), retries=len(link_ups) - 1)
    record["total_s"] = round(clock() - start, 4)
    return record
