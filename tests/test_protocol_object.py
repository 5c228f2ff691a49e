"""The protocol object: construction, fields, accessors and state changes."""

import gc
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


class Logged(object):
    """Logs every attribute read into self.log; holds the given values."""

    def __init__(self, **values):
        object.__setattr__(self, "log", [])
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if name != "log":
            object.__getattribute__(self, "log").append(name)
        return object.__getattribute__(self, name)


class Construction(unittest.TestCase):

    def test_record_read_in_order_once_each_fields_set_and_stream_untouched(self):
        calls = []
        values = dict(ClientMACAddress=16, ServerUpperMACAddressValue=1,
                      ServerLowerMACAddressValue=17, ServerAddressSize=2,
                      SentStreamCallback=calls.append, ReceivedStreamCallBack=calls.append,
                      StateChangeCallBack=calls.append, DiscToNDMTimeout=250,
                      InactivityTimeout=object())
        rec, stream = Logged(**values), Logged()
        obj = HDLCProtocol(rec, stream)
        self.assertEqual(object.__getattribute__(rec, "log"), RECORD_READS)
        self.assertEqual((stream.log, calls), ([], []))
        self.assertEqual((obj.State, obj._IOStream), (NDM, stream))
        self.assertEqual((obj._maxInfoFieldLengthTransmit, obj._maxInfoFieldLengthReceive,
                          obj._windowSizeTransmit, obj._windowSizeReceive,
                          obj._RSN, obj._SSN), (128, 128, 1, 1, 0, 0))
        local, remote = obj.LocalAddress, obj.RemoteAddress
        self.assertEqual((local.Upper, local.Lower, local.Size), (16, 0, 1))
        self.assertEqual((remote.Upper, remote.Lower, remote.Size), (1, 17, 2))
        self.assertEqual((obj._DISCToNDMTimeout, obj.InactivityTimeout),
                         (250, values["InactivityTimeout"]))
        ref = weakref.ref(rec)
        del rec
        gc.collect()
        self.assertIsNone(ref(), "protocol keeps a reference to the record")


class SetState(unittest.TestCase):

    def setUp(self):
        self.events, self.fail_sleep = [], False
        self.addCleanup(setattr, m, "time", m.time)
        m.time = self   # the module's time.sleep is looked up at call time
        cb = lambda state: self.events.append(("cb", state, self.obj.State))
        self.obj = HDLCProtocol(HDLCParameters(StateChangeCallBack=cb,
                                               DiscToNDMTimeout=250), None)

    def sleep(self, seconds):
        self.events.append(("sleep", seconds, self.obj.State))
        if self.fail_sleep:
            raise KeyboardInterrupt("sleep interrupted")

    def test_transitions_wait_only_into_ndm_and_call_back_after_storing(self):
        obj = self.obj
        self.assertIsNone(obj._set_State(NDM))        # unchanged: nothing happens
        self.assertEqual(self.events, [])
        self.assertIsNone(obj._set_State(NRM))
        self.assertEqual(self.events, [("cb", NRM, NRM)])
        obj._set_State(NRM)
        self.assertEqual(len(self.events), 1)
        del self.events[:]
        self.assertIsNone(obj._set_State(state=NDM))
        self.assertEqual(self.events, [("sleep", 0.25, NDM), ("cb", NDM, NDM)])
        self.assertIsInstance(self.events[0][1], float)
        obj.OnStateChanged = None                     # no callback: only the wait
        obj._set_State(NRM)
        obj._set_State(NDM)
        self.assertEqual(self.events[2:], [("sleep", 0.25, NDM)])

    def test_callback_and_sleep_errors_propagate_after_state_stored(self):
        def boom(state):
            raise RuntimeError("callback failed")
        self.obj.OnStateChanged = boom
        for target in (NRM, NDM):
            self.assertRaises(RuntimeError, self.obj._set_State, target)
            self.assertIs(self.obj._State, target)
        self.assertEqual(self.events, [("sleep", 0.25, NDM)])
        self.obj._State, self.fail_sleep = NRM, True
        self.assertRaises(KeyboardInterrupt, self.obj._set_State, NDM)
        self.assertIs(self.obj._State, NDM)
        self.assertEqual(len(self.events), 2)   # boom never reached


class RaiseException(unittest.TestCase):

    def test_raises_frame_kind_exception_through_module_global(self):
        obj = HDLCProtocol(HDLCParameters(), None)
        with self.assertRaises(BrenloException) as ctx:
            obj._raise_exception("Illegal UA data")
        self.assertIs(type(ctx.exception), BrenloException)
        self.assertEqual(ctx.exception.args, ("Illegal UA data", BrenloExceptionKind.Frame))
        Replacement = type("Replacement", (Exception,), {})
        self.addCleanup(setattr, m, "BrenloException", m.BrenloException)
        m.BrenloException = Replacement
        with self.assertRaises(Replacement) as ctx:
            obj._raise_exception("x")
        self.assertEqual(ctx.exception.args, ("x", BrenloExceptionKind.Frame))


if __name__ == "__main__":
    unittest.main()
