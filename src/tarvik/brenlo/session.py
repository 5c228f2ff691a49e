"""Links that heal themselves: sessions for unattended meter reading.

L{HDLCProtocol<tarvik.brenlo.hdlcprotocol.HDLCProtocol>} runs each link
procedure exactly once and raises at the first fault. A L{Session} sits on
top of one and keeps its link usable without a person watching:

  - L{Session.open} lets the line go quiet, optionally sends a DISC to end
    an association the meter still holds, and connects, retrying with
    back-off.
  - L{Session.request} sends one request and returns the answer's bytes.
    After a fault it cannot be sure of the line, so it lets the line go
    quiet, opens the link again (the meter forgets its association then:
    C{on_link_up} re-sends it) and repeats the request.
  - A deadline bounds a whole call, retries and RNR cycles included.
  - L{Session.keep_alive} polls the meter so that its inactivity time-out
    does not drop an idle link; a session can do so from a thread of its
    own.
  - Every failure is one of the typed errors below, all of them
    L{BrenloException}s.

L{Bus} lets the sessions of several meters on one RS-485 line take turns.
"""

from __future__ import absolute_import, division, print_function

import collections
import logging
import select
import termios
import threading
import time

from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind
from tarvik.brenlo.frame import FLAG, LENGTH_MASK, Frame
from tarvik.brenlo.hdlcprotocol import HDLCProtocol

__all__ = ["SessionError", "LinkTimeout", "LineNoise", "LinkRefused",
           "SequenceLost", "MeterRejected", "PortError", "DeadlineExceeded",
           "Session", "Bus"]

_log = logging.getLogger("tarvik.brenlo.session")
_log.addHandler(logging.NullHandler())

_now = getattr(time, "monotonic", time.time)

# What a failing port raises: pySerial's SerialException, OSError, IOError
# and socket.error are EnvironmentErrors; termios.error and, on Python 2,
# select.error are not.
_PORT_ERRORS = (EnvironmentError, termios.error, select.error)

# Flags, format field, two addresses of up to 4 bytes, control field, HCS
# and FCS: what a frame holds besides its information field.
_FRAME_OVERHEAD = 17
_BITS_PER_BYTE = 10
# Added to the line time of the longest frame: the meter's turnaround and
# the port's own latency.
_SETTLE_MARGIN = 0.05
# Draining gives up on a line that never goes quiet after this many settle
# times (and at least after a second).
_DRAIN_BOUND = 8
_BACKOFF_LIMIT = 5.0
# The background keep-alive polls once the link has been idle for this
# fraction of the meter's inactivity time-out, so that even a poll that
# comes a whole interval late is in time.
KEEP_ALIVE_FRACTION = 0.25


class SessionError(BrenloException):
    """A failure of a session's link, port or deadline.

    C{str(e)} is the original message (the module's or the port's), and
    C{cause} the original exception, or None when the session itself found
    the fault. C{recoverable} says whether opening the link again and
    repeating the request may help; L{Session.request} does so by itself.
    """

    _KIND = BrenloExceptionKind.Frame
    recoverable = True

    def __init__(self, message, cause=None, recoverable=None):
        BrenloException.__init__(self, message, self._KIND)
        self.cause = cause
        if recoverable is not None:
            self.recoverable = recoverable


class LinkTimeout(SessionError):
    """The meter did not answer within the port's read time-out."""

    _KIND = BrenloExceptionKind.Timeout


class LineNoise(SessionError):
    """An answer was damaged: a wrong check sequence, no opening flag, a cut
    frame, or a frame from another station."""


class LinkRefused(SessionError):
    """The meter answered DM: it refuses the link, or has dropped it."""


class SequenceLost(SessionError):
    """Sequence numbers disagree, or an answer came out of turn (a late
    answer to an earlier frame)."""


class MeterRejected(SessionError):
    """The meter rejected a frame (FRMR; recoverable), or its answer is not
    one the link can take (an illegal UA, a missing LLC header; not
    recoverable)."""

    recoverable = False


class PortError(SessionError):
    """The port failed: a gateway that hung up, a pty or USB adapter that is
    gone. Open the port again and make a new session."""

    _KIND = BrenloExceptionKind.General
    recoverable = False


class DeadlineExceeded(SessionError):
    """The call's deadline passed before it was done."""

    _KIND = BrenloExceptionKind.Timeout
    recoverable = False


# The module's messages, by the error they stand for. Any other
# BrenloException comes from the frame decoder: a damaged frame.
_ERRORS_BY_MESSAGE = {
    "no response": LinkTimeout,
    "No response to SNRM": LinkTimeout,
    "IS synch lost": SequenceLost,
    "IR synch lost": SequenceLost,
    "RRR synch lost": SequenceLost,
    "RNR synch lost": SequenceLost,
    "unexpected I frame": SequenceLost,
    "Illegal UA data": MeterRejected,
    "LLC prefix missing in Response": MeterRejected,
    "Information field too short for request data": MeterRejected,
}
# Messages about an answer of the wrong kind, told apart by that kind.
_WRONG_KIND_MESSAGES = ("Unexpected frame kind",
                        "Unexpected response to SNRM frame")


def _decode(answer):
    """The frame in answer, or None when there is none to decode."""
    frame = Frame()
    try:
        frame.set_from_pdu_bytes(list(answer))
    except BrenloException:
        return None
    return frame


def _typed(error, answer):
    """Return the session error for an error of a link procedure, or None
    for an error that is not the link's (bad request data, a callback's).

    @param answer: the bytes read since the procedure's last write.
    """
    if isinstance(error, SessionError):
        return error
    if isinstance(error, AssertionError):
        return LineNoise(str(error) or "answer without opening flag", error)
    if isinstance(error, BrenloException):
        message = str(error)
        if message in _WRONG_KIND_MESSAGES:
            frame = _decode(answer)
            kind = frame.Kind if frame is not None else None
            if kind == Frame.FrameKind.DM:
                return LinkRefused(message, error)
            if kind == Frame.FrameKind.FRMR:
                return MeterRejected(message, error, recoverable=True)
            return SequenceLost(message, error)
        return _ERRORS_BY_MESSAGE.get(message, LineNoise)(message, error)
    frame = _decode(answer)
    if frame is None:
        return None
    if isinstance(error, EOFError) and frame.Kind == Frame.FrameKind.UA:
        return MeterRejected("malformed UA parameters: %s" % error, error)
    if (isinstance(error, AttributeError) and frame.Kind == Frame.FrameKind.I
            and frame.Data is None):
        return MeterRejected("I frame without information field", error)
    return None


def _port_call(function, *args):
    """Call a method of the port, raising its failures as L{PortError}."""
    try:
        return function(*args)
    except _PORT_ERRORS as error:
        raise PortError(str(error), error)


class _Deadline(object):
    """The end of a call, or of no call (seconds None)."""

    def __init__(self, seconds):
        self.seconds = seconds
        self._end = None if seconds is None else _now() + seconds

    def remaining(self):
        """Seconds left (never below 0), or None without deadline."""
        if self._end is None:
            return None
        return max(0.0, self._end - _now())

    def expired(self):
        return self._end is not None and _now() >= self._end

    def check(self):
        """@raise DeadlineExceeded: the deadline has passed."""
        if self.expired():
            raise DeadlineExceeded("deadline of %g s exceeded" % self.seconds)

    def sleep(self, seconds):
        """Sleep, but not past the deadline, then L{check}."""
        remaining = self.remaining()
        time.sleep(seconds if remaining is None else min(seconds, remaining))
        self.check()


_NO_DEADLINE = _Deadline(None)


class _ReadTimeout(object):
    """Sets a port's read time-out for a while, where the port has one: to
    C{seconds} when C{exact}, else only where that lowers it.

    A port without a C{timeout} attribute keeps its own time-out.
    """

    def __init__(self, port, seconds, exact=False):
        self._port = port
        self._seconds = seconds
        self._exact = exact
        self._saved = None

    def __enter__(self):
        if self._seconds is None or not hasattr(self._port, "timeout"):
            return
        current = self._port.timeout
        if self._exact:
            change = current != self._seconds
        else:
            change = current is None or current > self._seconds
        if change:
            self._saved = (current,)
            _port_call(setattr, self._port, "timeout", self._seconds)

    def __exit__(self, *exc_info):
        if self._saved is not None:
            _port_call(setattr, self._port, "timeout", self._saved[0])


class _Line(object):
    """The IOStream that a session's HDLCProtocol works on.

    It passes reads and writes on to the port, and adds three things: the
    current call's deadline (reads wait no longer than it, and a call that
    passed it raises L{DeadlineExceeded} on its next read or write), port
    failures as L{PortError}, and the answer read since the last write,
    checked to come from the session's meter and kept for telling errors
    apart.
    """

    def __init__(self, port, addresses):
        """
        @param addresses: the address fields of every answer: the client's
                address, then the meter's.
        """
        self.port = port
        self.deadline = _NO_DEADLINE
        self.answer = bytearray()
        self._addresses = bytearray(addresses)

    def write(self, data):
        self.deadline.check()
        self.answer = bytearray()
        return _port_call(self.port.write, data)

    def read(self, size=1):
        self.deadline.check()
        with _ReadTimeout(self.port, self.deadline.remaining()):
            data = _port_call(self.port.read, size)
        self.answer += data
        if len(data) < size:
            self.deadline.check()
        self._check_station()
        return data

    def _check_station(self):
        """On a bus, an answer late from one meter must not pass for
        another's: a whole frame must carry our addresses."""
        answer = self.answer
        if len(answer) < 3 or answer[0] != FLAG:
            return
        if len(answer) != ((answer[1] << 8 | answer[2]) & LENGTH_MASK) + 2:
            return
        if answer[3:3 + len(self._addresses)] != self._addresses:
            raise LineNoise("answer from another station")

    def drain(self, settle, limit):
        """Read and drop everything until the line has been quiet for settle
        seconds, but for no longer than limit.

        @return: whether the line went quiet.
        """
        reset = getattr(self.port, "reset_input_buffer", None)
        if reset is not None:
            _port_call(reset)
        with _ReadTimeout(self.port, settle, exact=True):
            while not limit.expired():
                if not _port_call(self.port.read, 4096):
                    return True
        return False


def _address_fields(parameters):
    """The address fields of an answer to a client with these parameters."""
    client = Frame.FrameAddress(parameters.ClientMACAddress, 0, 1)
    server = Frame.FrameAddress(parameters.ServerUpperMACAddressValue,
                                parameters.ServerLowerMACAddressValue,
                                parameters.ServerAddressSize)
    return client.to_bytes() + server.to_bytes()


class Session(object):
    """One link to one meter that opens itself again after a fault.

    A session owns an L{HDLCProtocol} on the port and is its only user; it
    does not own the port, which stays open after L{close}. Its methods may
    be called from any thread; they take turns (with the other sessions of
    a L{Bus}, when it has one).

    Faults it recovers from (C{recoverable}): no answer, noise (FCS or HCS,
    a missing flag, a cut frame), sequence loss, DM, FRMR and a late
    answer. The link is then taken down; the next use drains the line and
    opens it again.

    @ivar parameters: the link's
            L{HDLCParameters<tarvik.brenlo.HDLCParameters>}.
    @ivar retries: how many times a failed connect, and a failed request,
            are tried again.
    @ivar deadline: the default deadline of L{open} and L{request} in
            seconds, or None.
    @ivar on_link_up: called as C{on_link_up(session)} after every connect,
            before any pending request, or None. Send the association
            (AARQ) there: the meter forgets it whenever the link is reset.
            A L{SessionError} from it fails that connect.
    @ivar disconnect_first: whether L{open} sends a DISC before the SNRM,
            for a meter that may still hold an old link.
    """

    def __init__(self, parameters, port, retries=3, deadline=None,
                 on_link_up=None, disconnect_first=False, keep_alive=False,
                 baudrate=None, backoff=0.1, turn=None):
        """
        @param port: the IOStream (a C{serial.Serial}, a pySerial URL port,
                an C{EchoCancelling}...). A port with a C{timeout} attribute
                has its read time-out lowered near a deadline; any other
                waits its own time-out, so a call may overrun its deadline
                by that much.
        @param keep_alive: whether a thread of the session's own polls the
                meter (L{keep_alive}) once the link has been idle for
                L{KEEP_ALIVE_FRACTION} of the parameters'
                C{InactivityTimeout}, from the first connect until
                L{close}.
        @param baudrate: the line's rate, for the time the line takes to go
                quiet; default: the port's C{baudrate}, else 9600.
        @param backoff: seconds before the second connect attempt, doubled
                for each further one (at most 5 s).
        @param turn: the turns on a line shared with other sessions;
                L{Bus} passes its own. A call's deadline includes its wait
                for the turn.
        """
        self.parameters = parameters
        self.retries = retries
        self.deadline = deadline
        self.on_link_up = on_link_up
        self.disconnect_first = disconnect_first
        self._baud = baudrate
        self._backoff = backoff
        self._line = _Line(port, _address_fields(parameters))
        self._link = HDLCProtocol(parameters, self._line)
        self._turn = turn if turn is not None else _Turn()
        self._up = False
        self._in_link_up = False
        self._last_traffic = _now()
        self._keeper = None
        self._keep_alive = keep_alive

    @property
    def is_up(self):
        """Whether the link is believed to be up: opened, and no fault,
        DM or failed keep-alive since."""
        return self._up

    def settle_time(self):
        """Seconds of silence after which the line holds no more of an
        earlier frame: the line time of the longest frame either side may
        send, and a margin."""
        try:
            longest = max(int(self._link._maxInfoFieldLengthReceive),
                          int(self._link._maxInfoFieldLengthTransmit))
        except (TypeError, ValueError):
            longest = HDLCProtocol._DefaultInfoFieldLength_
        baud = (self._baud or getattr(self._line.port, "baudrate", None)
                or 9600)
        line_time = (longest + _FRAME_OVERHEAD) * _BITS_PER_BYTE / baud
        return line_time + _SETTLE_MARGIN

    def open(self, deadline=None):
        """Open the link: drain the line, send a DISC first if
        C{disconnect_first}, connect, run C{on_link_up}; retry up to
        C{retries} times with back-off.

        @param deadline: seconds for the whole call; default C{deadline}.
        @raise SessionError: the last attempt's failure, or
                L{DeadlineExceeded}, or L{PortError} at once.
        """
        with self._bounded(deadline) as limit:
            self._open(limit)

    def request(self, data, deadline=None, retry=True):
        """Send one request and return the meter's answer.

        @param data: the request: a C{bytearray}, a byte string or a list
                of ints 0 to 255.
        @param deadline: seconds for the whole call, opening the link,
                RR/RNR cycles and retries included; default C{deadline}.
        @param retry: False: never send the request a second time, since
                it may already have reached the meter. The link is still
                opened when it is down, as the request has not gone out.
        @return: the answer without LLC header, as a C{bytearray}.
        @raise SessionError: the failure of the last attempt, a failure
                that is not C{recoverable}, or L{DeadlineExceeded}.
        """
        with self._bounded(deadline) as limit:
            # A request from on_link_up is not repeated: its connect is.
            retry = retry and not self._in_link_up
            tries = 0
            while True:
                if not self._up:
                    self._open(limit)
                try:
                    answer = self._link.send_receive(data)
                except Exception as error:
                    failure = self._fault(error)
                    if not retry or not self._again(failure, tries,
                                                    "request"):
                        raise
                    tries += 1
                    continue
                self._last_traffic = _now()
                return bytearray(answer.to_list())

    def keep_alive(self):
        """Poll the meter once so that it keeps the link: an RR frame with
        the current N(R), and its answer.

        @return: True when the meter answered RR or RNR carrying the N(R)
                the link expects. False when the link is not up, or the
                meter answered DM, nothing or anything else: the link is
                then taken down and the next request opens it again.
        @raise PortError: the port failed.
        """
        with self._turn:
            if not self._up:
                return False
            poll = Frame()
            poll.Kind = Frame.FrameKind.RR
            poll.SrcAddress = self._link.LocalAddress
            poll.DstAddress = self._link.RemoteAddress
            poll.RSequenceNr = self._link._RSN
            poll.PollFinal = True
            try:
                response = self._link._send_receive_bytes(poll.get_pdu_bytes())
            except PortError:
                self._up = False
                raise
            except (BrenloException, AssertionError):
                response = None
            answer = None if response is None else _decode(response.to_list())
            kind = None if answer is None else answer.Kind
            if (kind in (Frame.FrameKind.RR, Frame.FrameKind.RNR)
                    and answer.RSequenceNr == self._link._SSN):
                self._last_traffic = _now()
                return True
            _log.info("%s: keep-alive answered by %s; link down", self._name(),
                      kind or "nothing usable")
            self._up = False
            return False

    def close(self):
        """Stop the keep-alive thread and disconnect. Raises nothing for a
        link or port that is already gone; the port stays open."""
        keeper, self._keeper = self._keeper, None
        if keeper is not None:
            keeper.stop()
        try:
            with self._bounded(None):
                self._up = False
                self._link.disconnect()
        except (BrenloException, AssertionError) as error:
            _log.info("%s: disconnect: %r", self._name(), error)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _name(self):
        return "link to %d/%d" % (self.parameters.ServerUpperMACAddressValue,
                                  self.parameters.ServerLowerMACAddressValue)

    def _bounded(self, seconds):
        if seconds is None:
            seconds = self.deadline
        return _Call(self, seconds)

    def _fault(self, error):
        """Take the link down after an error of a link procedure and return
        the error as a L{SessionError} (None when it is not the link's)."""
        self._up = False
        return _typed(error, self._line.answer)

    def _again(self, failure, tries, what):
        """Whether to try again after a failure, tries retries so far."""
        if (failure is None or not failure.recoverable
                or tries >= self.retries):
            return False
        _log.info("%s: %s (%s); %s again, retry %d of %d", self._name(),
                  type(failure).__name__, failure, what, tries + 1,
                  self.retries)
        return True

    def _open(self, limit):
        tries = 0
        while True:
            try:
                bound = _Deadline(self._drain_bound(limit))
                if not self._line.drain(self.settle_time(), bound):
                    limit.check()
                    _log.warning("%s: line not quiet after %.1f s, connecting "
                                 "all the same", self._name(), bound.seconds)
                if self.disconnect_first:
                    self._link.disconnect()
                self._link.connect()
                self._up = True
                self._last_traffic = _now()
                self._link_up()
                break
            except Exception as error:
                if not self._again(self._fault(error), tries, "connect"):
                    raise
                limit.sleep(min(self._backoff * 2 ** tries, _BACKOFF_LIMIT))
                tries += 1
        if self._keep_alive and self._keeper is None:
            interval = (KEEP_ALIVE_FRACTION
                        * self.parameters.InactivityTimeout / 1000)
            self._keeper = _KeepAlive(self, interval)
            self._keeper.start()

    def _drain_bound(self, limit):
        bound = max(1.0, _DRAIN_BOUND * self.settle_time())
        remaining = limit.remaining()
        return bound if remaining is None else min(bound, remaining)

    def _link_up(self):
        if self.on_link_up is None:
            return
        self._in_link_up = True
        try:
            self.on_link_up(self)
        finally:
            self._in_link_up = False


class _Turn(object):
    """The turns the calls on one line take, in the order they asked: a
    reentrant lock (on_link_up makes requests inside the call that opens
    the link) whose wait ends at a deadline."""

    def __init__(self):
        self._changed = threading.Condition(threading.Lock())
        self._owner = None
        self._depth = 0
        self._queue = collections.deque()  # threads waiting, first first

    def acquire(self, limit=_NO_DEADLINE):
        """@raise DeadlineExceeded: the turn did not come before limit."""
        me = threading.current_thread()
        with self._changed:
            if self._owner is not me:
                self._queue.append(me)
                try:
                    while self._owner is not None or self._queue[0] is not me:
                        limit.check()
                        self._changed.wait(limit.remaining())
                finally:
                    self._queue.remove(me)
                    self._changed.notify_all()
                self._owner = me
            self._depth += 1

    def release(self):
        with self._changed:
            self._depth -= 1
            if self._depth == 0:
                self._owner = None
                self._changed.notify_all()

    def __enter__(self):
        self.acquire()

    def __exit__(self, *exc_info):
        self.release()


class _Call(object):
    """One call of a session: waits for its turn on the line, puts its
    deadline on the session's line, and after a failure, Ctrl-C included,
    takes the link down and turns the failure into a L{SessionError} where
    it is the link's."""

    def __init__(self, session, seconds):
        self._session = session
        self._line = session._line
        self._saved = None
        self.limit = _Deadline(seconds)

    def __enter__(self):
        self._session._turn.acquire(self.limit)
        # A request from on_link_up runs inside open's call: the earlier
        # deadline of the two counts.
        self._saved = self._line.deadline
        outer = self._saved.remaining()
        inner = self.limit.remaining()
        if outer is not None and (inner is None or outer < inner):
            self.limit = self._saved
        self._line.deadline = self.limit
        return self.limit

    def __exit__(self, kind, error, traceback):
        self._line.deadline = self._saved
        self._session._turn.release()
        if error is None:
            return False
        self._session._up = False
        if isinstance(error, SessionError):
            return False
        typed = _typed(error, self._line.answer)
        if typed is None:
            return False
        raise typed


class _KeepAlive(threading.Thread):
    """The background keep-alive of one session, until stopped."""

    def __init__(self, session, interval):
        threading.Thread.__init__(
            self, name="tarvik keep-alive, %s" % session._name())
        self.daemon = True
        self._session = session
        self._interval = interval
        self._stopping = threading.Event()

    def run(self):
        session = self._session
        while not self._stopping.wait(self._interval):
            idle = _now() - session._last_traffic
            if not session.is_up or idle < self._interval:
                continue
            try:
                session.keep_alive()
            except SessionError as error:
                _log.warning("%s: keep-alive: %s", session._name(), error)

    def stop(self):
        self._stopping.set()
        if threading.current_thread() is not self:
            self.join()


class Bus(object):
    """Several meters on one line (RS-485 multidrop), each with its own
    session and server address, taking turns on the port: one whole
    operation (a request with its retries, a connect, a keep-alive) at a
    time, from any number of threads. A session that fails drains the line
    in its own turn, so its neighbours find the line clean.

    @ivar port: the shared IOStream.
    """

    def __init__(self, port):
        self.port = port
        self._turn = _Turn()

    def session(self, parameters, **options):
        """A new L{Session} on the bus; options as for L{Session}."""
        return Session(parameters, self.port, turn=self._turn, **options)
