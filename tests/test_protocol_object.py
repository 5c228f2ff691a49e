"""The protocol object: construction, fields, accessors and state changes."""

import gc
import os
import unittest
import weakref

import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind

HDLCProtocol = m.HDLCProtocol
NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM

RECORD_READS = ["ClientMACAddress", "ServerUpperMACAddressValue",
                "ServerLowerMACAddressValue", "ServerAddressSize",
                "SentStreamCallback", "ReceivedStreamCallBack",
                "StateChangeCallBack", "DiscToNDMTimeout", "InactivityTimeout"]
FIELDS = set(["_State", "_IOStream", "_maxInfoFieldLengthTransmit",
              "_maxInfoFieldLengthReceive", "_windowSizeTransmit",
              "_windowSizeReceive", "_RSN", "_SSN", "_LocalAddress",
              "_RemoteAddress", "_OnSentStream", "_OnReceivedStream",
              "_OnStateChanged", "_DISCToNDMTimeout", "InactivityTimeout"])


class Record(object):
    """A parameter record that logs every attribute read."""

    def __init__(self, **values):
        object.__setattr__(self, "reads", [])
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


class Untouchable(object):
    """A stream that logs any attribute access at all."""

    def __init__(self):
        object.__setattr__(self, "log", [])

    def __getattribute__(self, name):
        if name != "log":
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


class FakeTime(object):
    def __init__(self, events, protocol_ref, fail=False):
        self.events, self.protocol_ref, self.fail = events, protocol_ref, fail

    def sleep(self, seconds):
        self.events.append(("sleep", seconds, self.protocol_ref[0].State))
        if self.fail:
            raise KeyboardInterrupt("sleep interrupted")


def record_values(**overrides):
    values = dict(ClientMACAddress=16, ServerUpperMACAddressValue=1,
                  ServerLowerMACAddressValue=17, ServerAddressSize=2,
                  SentStreamCallback=lambda b: None,
                  ReceivedStreamCallBack=lambda b: None,
                  StateChangeCallBack=lambda s: None,
                  DiscToNDMTimeout=250, InactivityTimeout=object())
    values.update(overrides)
    return values


class Construction(unittest.TestCase):

    def test_record_read_in_order_once_each_and_not_kept(self):
        values = record_values()
        rec = Record(**values)
        obj = HDLCProtocol(rec, Untouchable())
        self.assertEqual(object.__getattribute__(rec, "reads"), RECORD_READS)
        ref = weakref.ref(rec)
        del rec
        gc.collect()
        self.assertIsNone(ref(), "protocol keeps a reference to the record")

    def test_fields_after_construction(self):
        values = record_values()
        stream = Untouchable()
        obj = HDLCProtocol(Record(**values), stream)
        self.assertEqual(set(vars(obj)), FIELDS)
        self.assertIs(obj._State, NDM)
        self.assertIs(obj.State, NDM)
        self.assertIs(obj._IOStream, stream)
        self.assertEqual((obj._maxInfoFieldLengthTransmit, obj._maxInfoFieldLengthReceive,
                          obj._windowSizeTransmit, obj._windowSizeReceive,
                          obj._RSN, obj._SSN), (128, 128, 1, 1, 0, 0))
        local, remote = obj._LocalAddress, obj._RemoteAddress
        self.assertIsInstance(local, m.Frame.FrameAddress)
        self.assertIsInstance(remote, m.Frame.FrameAddress)
        self.assertEqual((local.Upper, local.Lower, local.Size), (16, 0, 1))
        self.assertEqual((remote.Upper, remote.Lower, remote.Size), (1, 17, 2))
        self.assertIs(obj.LocalAddress, local)
        self.assertIs(obj.RemoteAddress, remote)
        self.assertIs(obj._OnSentStream, values["SentStreamCallback"])
        self.assertIs(obj._OnReceivedStream, values["ReceivedStreamCallBack"])
        self.assertIs(obj._OnStateChanged, values["StateChangeCallBack"])
        self.assertEqual(obj._DISCToNDMTimeout, 250)
        self.assertIs(obj.InactivityTimeout, values["InactivityTimeout"])

    def test_constructor_does_not_touch_stream_nor_call_callbacks(self):
        calls = []
        stream = Untouchable()
        HDLCProtocol(Record(**record_values(StateChangeCallBack=calls.append,
                                            SentStreamCallback=calls.append,
                                            ReceivedStreamCallBack=calls.append)),
                     stream)
        self.assertEqual(stream.log, [])
        self.assertEqual(calls, [])

    def test_class_defaults_read_at_construction(self):
        saved = (HDLCProtocol._DefaultInfoFieldLength_, HDLCProtocol._DefaultWindowSize_)

        def restore():
            HDLCProtocol._DefaultInfoFieldLength_, HDLCProtocol._DefaultWindowSize_ = saved
        self.addCleanup(restore)
        HDLCProtocol._DefaultInfoFieldLength_ = 64
        HDLCProtocol._DefaultWindowSize_ = 3
        obj = HDLCProtocol(HDLCParameters(), None)
        self.assertEqual((obj._maxInfoFieldLengthTransmit, obj._maxInfoFieldLengthReceive,
                          obj._windowSizeTransmit, obj._windowSizeReceive), (64, 64, 3, 3))

    def test_failures_leave_earlier_fields_set(self):
        values = record_values()
        del values["DiscToNDMTimeout"]
        obj = HDLCProtocol.__new__(HDLCProtocol)
        self.assertRaises(AttributeError, obj.__init__, Record(**values), None)
        self.assertIs(obj._OnStateChanged, values["StateChangeCallBack"])
        self.assertFalse(hasattr(obj, "_DISCToNDMTimeout"))
        self.assertFalse(hasattr(obj, "InactivityTimeout"))

        obj = HDLCProtocol.__new__(HDLCProtocol)
        with self.assertRaises(ValueError):
            obj.__init__(HDLCParameters(ServerAddressSize=3), None)
        self.assertEqual(obj._LocalAddress.Upper, 16)
        self.assertFalse(hasattr(obj, "_RemoteAddress"))
        self.assertFalse(hasattr(obj, "_OnSentStream"))


class Accessors(unittest.TestCase):

    def test_getters_and_setters_store_unchanged(self):
        obj = HDLCProtocol(HDLCParameters(), None)
        for prop, attr, setter, getter in [
                ("OnSentStream", "_OnSentStream", "_set_OnSentStream", "_get_OnSentStream"),
                ("OnReceivedStream", "_OnReceivedStream", "_set_OnReceivedStream",
                 "_get_OnReceivedStream"),
                ("OnStateChanged", "_OnStateChanged", "_set_OnStateChanged",
                 "_get_OnStateChanged"),
                ("LocalAddress", "_LocalAddress", "_set_LocalAddress", "_get_local_address"),
                ("RemoteAddress", "_RemoteAddress", "_set_RemoteAddress",
                 "_get_remote_address")]:
            value, other = object(), [1]
            setattr(obj, prop, value)
            self.assertIs(getattr(obj, attr), value, prop)
            self.assertIsNone(getattr(obj, setter)(other))
            self.assertIs(getattr(obj, prop), other)
            setattr(obj, attr, value)
            self.assertIs(getattr(obj, getter)(), value)
        marker = object()
        obj._State = marker
        self.assertIs(obj.State, marker)
        self.assertIs(obj._get_State(), marker)

    def test_state_assignment_fails(self):
        obj = HDLCProtocol(HDLCParameters(), None)
        with self.assertRaises(AttributeError):
            obj.State = NRM
        self.assertIs(obj._State, NDM)


class SetState(unittest.TestCase):

    def setUp(self):
        self.events = []
        self.ref = [None]
        self.saved_time = m.time
        self.addCleanup(setattr, m, "time", self.saved_time)
        m.time = FakeTime(self.events, self.ref)

    def make(self, timeout=250, callback=True):
        cb = None
        if callback:
            cb = lambda state: self.events.append(("cb", state, self.ref[0].State))
        obj = HDLCProtocol(HDLCParameters(StateChangeCallBack=cb,
                                          DiscToNDMTimeout=timeout), None)
        self.ref[0] = obj
        return obj

    def test_same_state_does_nothing(self):
        obj = self.make()
        self.assertIsNone(obj._set_State(NDM))
        obj._State = NRM
        self.assertIsNone(obj._set_State(NRM))
        self.assertEqual(self.events, [])

    def test_to_nrm_calls_back_without_wait(self):
        obj = self.make()
        self.assertIsNone(obj._set_State(NRM))
        self.assertEqual(self.events, [("cb", NRM, NRM)])
        self.assertIs(obj._State, NRM)

    def test_to_ndm_stores_waits_then_calls_back(self):
        obj = self.make(timeout=250)
        obj._set_State(NRM)
        del self.events[:]
        self.assertIsNone(obj._set_State(state=NDM))
        self.assertEqual(self.events, [("sleep", 250 * 0.001, NDM), ("cb", NDM, NDM)])
        self.assertIsInstance(self.events[0][1], float)

    def test_zero_timeout_and_no_callback_still_wait(self):
        obj = self.make(timeout=0, callback=False)
        obj._State = NRM
        obj._set_State(NDM)
        self.assertEqual(self.events, [("sleep", 0.0, NDM)])
        obj._set_State(NRM)
        self.assertEqual(len(self.events), 1)

    def test_callback_read_afresh_and_its_error_propagates(self):
        obj = self.make()

        def boom(state):
            raise RuntimeError("callback failed")
        obj.OnStateChanged = boom
        with self.assertRaises(RuntimeError):
            obj._set_State(NRM)
        self.assertIs(obj._State, NRM)
        with self.assertRaises(RuntimeError):
            obj._set_State(NDM)
        self.assertIs(obj._State, NDM)
        self.assertEqual(self.events, [("sleep", 0.25, NDM)])

    def test_sleep_error_propagates_before_callback(self):
        obj = self.make()
        obj._State = NRM
        m.time = FakeTime(self.events, self.ref, fail=True)
        with self.assertRaises(KeyboardInterrupt):
            obj._set_State(NDM)
        self.assertIs(obj._State, NDM)
        self.assertEqual(self.events, [("sleep", 0.25, NDM)])

    def test_real_sleep_blocks(self):
        m.time = self.saved_time
        obj = self.make(timeout=60, callback=False)
        obj._State = NRM
        start = self.saved_time.time()
        obj._set_State(NDM)
        self.assertGreaterEqual(self.saved_time.time() - start, 0.055)


class RaiseException(unittest.TestCase):

    def test_raises_frame_kind_exception(self):
        obj = HDLCProtocol(HDLCParameters(), None)
        with self.assertRaises(BrenloException) as ctx:
            obj._raise_exception("Illegal UA data")
        self.assertIs(type(ctx.exception), BrenloException)
        self.assertEqual(ctx.exception.args, ("Illegal UA data", BrenloExceptionKind.Frame))
        self.assertEqual(str(ctx.exception), "Illegal UA data")

    def test_exception_class_looked_up_through_module_global(self):
        class Replacement(Exception):
            pass
        obj = HDLCProtocol(HDLCParameters(), None)
        self.addCleanup(setattr, m, "BrenloException", m.BrenloException)
        m.BrenloException = Replacement
        with self.assertRaises(Replacement) as ctx:
            obj._raise_exception("x")
        self.assertEqual(ctx.exception.args, ("x", BrenloExceptionKind.Frame))


def rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


@unittest.skipIf(os.environ.get("TARVIK_MEMCHECK"), "under valgrind, memcheck itself looks for leaks")
class NoLeaks(unittest.TestCase):

    def cycle(self, count, params, stream, calls):
        for _ in xrange(count):
            obj = HDLCProtocol(params, stream)
            obj._set_State(NRM)
            obj._set_State(NDM)
            obj.OnSentStream = obj.OnSentStream
            obj.LocalAddress = obj.RemoteAddress
            try:
                obj._raise_exception("Illegal UA data")
            except BrenloException:
                pass
        del calls[:]

    def test_construction_and_state_changes_do_not_leak(self):
        calls = []
        params = HDLCParameters(DiscToNDMTimeout=0, StateChangeCallBack=calls.append)
        stream = object()
        self.cycle(10000, params, stream, calls)
        gc.collect()
        objects, pages = len(gc.get_objects()), rss_pages()
        self.cycle(100000, params, stream, calls)
        gc.collect()
        grown_objects = len(gc.get_objects()) - objects
        grown_kb = (rss_pages() - pages) * os.sysconf("SC_PAGE_SIZE") // 1024
        self.assertLess(grown_objects, 100, "gc objects grew by %d" % grown_objects)
        self.assertLess(grown_kb, 1024, "RSS grew by %d KiB" % grown_kb)


if __name__ == "__main__":
    unittest.main()
