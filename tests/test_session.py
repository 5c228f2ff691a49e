"""Sessions against the simulator: requests that come back right through
every fault the meter can inject, deadlines, failing ports, keep-alive
against the meter's inactivity time-out, and meters sharing a bus."""

from __future__ import absolute_import, division, print_function

import logging
import logging.handlers
import os
import termios
import threading
import time
import unittest

import serial

from tarvik.brenlo import HDLCParameters
from tarvik.brenlo.brenloexception import BrenloException
from tarvik.brenlo.session import (Bus, DeadlineExceeded, LineNoise, LinkRefused, LinkTimeout,
                                   PortError, SequenceLost, Session)

from support.simulator import EARLY_TOLERANCE, LATE_TOLERANCE, opened, started

MEMCHECK = bool(os.environ.get("TARVIK_MEMCHECK"))
TIMEOUT = 3.0 if MEMCHECK else 0.3  # the port's read time-out


def faults(*every):
    """Simulator options spoiling answers: drops, corruption, late answers,
    wrong sequence numbers, DM and garbage, each on every Nth answer."""
    options = []
    for option, n in zip(["--drop-every", "--corrupt-every", "--late-every", "--wrong-seq-every",
                          "--dm-every", "--garbage-every"], every):
        options += [option, str(n)]
    return options + ["--late-ms", str(int(TIMEOUT * 1000 * 5 // 3))]


def parameters(**values):
    return HDLCParameters(DiscToNDMTimeout=0, **values)


class LinkUps(object):
    """An on_link_up that counts the connects."""

    def __init__(self):
        self.count = 0

    def __call__(self, session):
        self.count += 1


class SessionTest(unittest.TestCase):

    def session(self, meter, port=None, **options):
        port = port or opened(self, meter.path, timeout=TIMEOUT)
        session = Session(options.pop("parameters", parameters()), port, **options)
        self.addCleanup(session.close)
        return session

    def run_requests(self, session, count, deadline, prefix=b""):
        """Unique requests; returns the failures. Each answer must be the
        request's own echo, and each call end within its deadline."""
        failures = []
        for i in range(count):
            request = bytearray(prefix + b"request %06d" % i)
            begun = time.time()
            try:
                self.assertEqual(session.request(request, deadline=deadline), request)
            except BrenloException as error:
                failures.append(error)
            self.assertLess(time.time() - begun, deadline + LATE_TOLERANCE)
        return failures


class FaultyLineTest(SessionTest):

    def test_soak_every_request_gets_its_own_answer_through_every_fault(self):
        records = logging.handlers.BufferingHandler(10000)
        logger = logging.getLogger("tarvik.brenlo.session")
        logger.addHandler(records)
        logger.setLevel(logging.INFO)
        self.addCleanup(logger.removeHandler, records)
        # About one answer in 17 spoilt.
        meter = started(self, *faults(97, 101, 103, 107, 109, 113))
        associations = []

        def associate(session):  # a request of its own after every connect
            request = bytearray(b"association %d" % len(associations))
            associations.append(session.request(request) == request)

        session = self.session(meter, retries=5, deadline=10 * TIMEOUT + 5, on_link_up=associate)
        self.assertEqual(self.run_requests(session, 120 if MEMCHECK else 500, session.deadline), [])
        self.assertGreater(len(associations), 1)
        self.assertTrue(all(associations))
        recovered = set(record.args[1] for record in records.buffer)
        self.assertTrue(set(["LinkTimeout", "LineNoise", "LinkRefused", "SequenceLost"]) <= recovered,
                        recovered)

    def test_heavy_noise_fails_only_with_typed_errors_in_time(self):
        # About four answers in ten spoilt, one retry.
        meter = started(self, *faults(7, 11, 13, 17, 19, 23))
        deadline = 4 * TIMEOUT + 1
        failures = self.run_requests(self.session(meter, retries=1), 15 if MEMCHECK else 40, deadline)
        self.assertTrue(failures)
        for failure in failures:
            self.assertIn(type(failure), (LinkTimeout, LineNoise, LinkRefused, SequenceLost,
                                          DeadlineExceeded))

    def test_retry_false_sends_a_request_once(self):
        class CountingPort(serial.Serial):
            written = []

            def write(self, data):
                self.written.append(bytearray(data))
                return serial.Serial.write(self, data)

        meter = started(self, "--drop-every", "3")  # UA, answer, then the second answer dropped
        port = opened(self, meter.path, CountingPort, timeout=TIMEOUT)
        session = self.session(meter, port)
        session.request(bytearray(b"first"))
        self.assertRaises(LinkTimeout, session.request, bytearray(b"second"), retry=False)
        self.assertEqual(sum(1 for frame in port.written if b"second" in frame), 1)
        self.assertEqual(session.request(bytearray(b"third"), retry=False), bytearray(b"third"))

    def test_meter_stuck_in_rnr_exceeds_the_deadline_on_time(self):
        session = self.session(started(self, "--rnr", "1000000"))
        session.open()
        begun = time.time()
        self.assertRaises(DeadlineExceeded, session.request, bytearray(b"stuck"), deadline=1.0)
        self.assertGreater(time.time() - begun, 1.0 - EARLY_TOLERANCE)
        self.assertLess(time.time() - begun, 1.0 + LATE_TOLERANCE)

    def test_killed_simulator_gives_port_error_over_pty_and_tcp(self):
        for tcp in (False, True):
            meter = started(self, tcp=tcp)
            if tcp:
                port = opened(self, meter.url, serial.serial_for_url, timeout=TIMEOUT)
            else:
                port = opened(self, meter.path, timeout=TIMEOUT)
            session = self.session(meter, port)
            self.assertEqual(session.request(bytearray(b"alive")), bytearray(b"alive"))
            meter.close()
            # The request fails writing or reading; open, draining the line
            # first, fails in reset_input_buffer on the pty (termios.error).
            for call in (lambda: session.request(bytearray(b"gone")), session.open):
                with self.assertRaises(PortError) as raised:
                    call()
                self.assertIsInstance(raised.exception.cause, (EnvironmentError, termios.error))
            session.close()


class InactivityTest(SessionTest):

    INACTIVITY = 3 if MEMCHECK else 1

    def test_keep_alive_holds_the_link_and_without_it_a_request_reconnects(self):
        meter = started(self, "--inactivity-s", str(self.INACTIVITY))
        for keep_alive, expected_link_ups in ((True, 1), (False, 2)):
            link_ups = LinkUps()
            session = self.session(meter, on_link_up=link_ups, keep_alive=keep_alive,
                                   parameters=parameters(InactivityTimeout=self.INACTIVITY * 1000))
            session.open()
            time.sleep(3 * self.INACTIVITY + 0.2)
            self.assertEqual(session.request(bytearray(b"still there")), bytearray(b"still there"))
            self.assertEqual(link_ups.count, expected_link_ups, "keep-alive %s" % keep_alive)
            session.close()


class BusTest(SessionTest):

    def test_three_meters_on_a_bus_driven_from_three_threads(self):
        addresses = [17, 18, 19]
        meter = started(self, "--bus", ",".join(map(str, addresses)), "--server-address-size", "2",
                        *faults(7, 0, 11))
        bus = Bus(opened(self, meter.path, timeout=TIMEOUT))
        results = {}

        def drive(lower):
            session = bus.session(parameters(ServerLowerMACAddressValue=lower, ServerAddressSize=2),
                                  deadline=10 * TIMEOUT + 5)
            try:
                results[lower] = self.run_requests(session, 10 if MEMCHECK else 30, session.deadline,
                                                   prefix=b"meter %d " % lower)
            except AssertionError as error:
                results[lower] = [error]
            finally:
                session.close()

        threads = [threading.Thread(target=drive, args=(lower,)) for lower in addresses]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(results, dict((lower, []) for lower in addresses))

    def test_a_call_waiting_for_its_turn_keeps_its_deadline(self):
        # Both meters answer RNR for ever: a request holds the bus to its deadline.
        meter = started(self, "--bus", "17,18", "--server-address-size", "2", "--rnr", "1000000")
        bus = Bus(opened(self, meter.path, timeout=TIMEOUT))
        stuck, waiting = [bus.session(parameters(ServerLowerMACAddressValue=lower, ServerAddressSize=2))
                          for lower in (17, 18)]
        waiting.open()
        outcome = []

        def hold_the_bus():
            try:
                stuck.request(bytearray(b"stuck"), deadline=2 * LATE_TOLERANCE + 2)
            except DeadlineExceeded as error:
                outcome.append(error)

        holder = threading.Thread(target=hold_the_bus)
        holder.start()
        while not stuck.is_up:
            time.sleep(0.01)
        begun = time.time()
        self.assertRaises(DeadlineExceeded, waiting.request, bytearray(b"waits"), deadline=1.0)
        self.assertLess(time.time() - begun, 1.0 + LATE_TOLERANCE)
        holder.join()
        self.assertEqual(len(outcome), 1)


if __name__ == "__main__":
    unittest.main()
