"""What a caller sees of the protocol object: construction from the record,
argument errors, the read-only State, state changes with their wait and
callback, and the import's errors when a companion lacks a name."""

import gc
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import weakref

import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters, HDLCProtocolState

HDLCProtocol = m.HDLCProtocol
NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM
STAGED = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))
Sentinel = type("Sentinel", (Exception,), {})


class WriteFails(object):
    """A stream whose write raises Sentinel; records what reaches it."""

    def __init__(self):
        self.calls = []

    def write(self, data):
        self.calls.append(data)
        raise Sentinel()


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


class ConstructionTest(unittest.TestCase):

    def test_record_is_read_once_into_fields_and_not_kept(self):
        values = dict(vars(HDLCParameters(ServerLowerMACAddressValue=17, ServerAddressSize=2,
                                          DiscToNDMTimeout=250)), InactivityTimeout=object())
        record, stream = Logged(**values), Logged()
        obj = HDLCProtocol(record, stream)
        self.assertEqual(sorted(object.__getattribute__(record, "log")), sorted(values))
        self.assertEqual(stream.log, [])
        self.assertEqual((obj.State, obj._IOStream, obj._RSN, obj._SSN), (NDM, stream, 0, 0))
        self.assertEqual((obj._maxInfoFieldLengthTransmit, obj._maxInfoFieldLengthReceive,
                          obj._windowSizeTransmit, obj._windowSizeReceive), (128, 128, 1, 1))
        local, remote = obj.LocalAddress, obj.RemoteAddress
        self.assertEqual((local.Upper, local.Lower, local.Size), (16, 0, 1))
        self.assertEqual((remote.Upper, remote.Lower, remote.Size), (1, 17, 2))
        self.assertEqual((obj._DISCToNDMTimeout, obj.InactivityTimeout),
                         (250, values["InactivityTimeout"]))
        ref = weakref.ref(record)
        del record
        gc.collect()
        self.assertIsNone(ref(), "protocol keeps a reference to the record")

    def test_argument_errors_read_as_python_writes_them_and_touch_nothing(self):
        p, s = HDLCParameters(DiscToNDMTimeout=0), WriteFails()
        f = HDLCProtocol(p, s)._send_receive_bytes
        init = "__init__() takes exactly 3 positional arguments (%d given)"
        srb = "_send_receive_bytes() "
        for message, func, args, kwargs in [
                (init % 2, HDLCProtocol, (p,), {}),
                (init % 4, HDLCProtocol, (p, s, None), {}),
                (init % 1, HDLCProtocol, (), {"IOStream": s}),
                ("__init__() got an unexpected keyword argument 'stream'",
                 HDLCProtocol, (p, s), {"stream": s}),
                ("__init__() got multiple values for keyword argument 'hdlcParameters'",
                 HDLCProtocol, (p,), {"hdlcParameters": p}),
                (srb + "takes at least 2 positional arguments (1 given)", f, (), {"log": False}),
                (srb + "takes at most 3 positional arguments (4 given)", f, ([1], True, 5), {})]:
            with self.assertRaises(TypeError) as ctx:
                func(*args, **kwargs)
            self.assertEqual(str(ctx.exception), message)
        self.assertEqual(s.calls, [])

    def test_poll_and_send_receive_bytes_log_by_default(self):
        obj, sent = HDLCProtocol(HDLCParameters(), WriteFails()), []
        obj.OnSentStream = sent.append
        for call, logged in [(obj.poll, 1), (lambda: obj.poll(False), 1),
                             (lambda: obj._send_receive_bytes([0x7E]), 2)]:
            self.assertRaises(Sentinel, call)
            self.assertEqual(len(sent), logged)
        self.assertEqual(sent[-1], [0x7E])

    def test_state_is_read_only_and_no_property_deletes(self):
        obj = HDLCProtocol(HDLCParameters(), WriteFails())
        before = dict(vars(obj))
        with self.assertRaises(AttributeError):
            obj.State = NRM
        for name in ("OnSentStream", "OnReceivedStream", "OnStateChanged", "LocalAddress",
                     "RemoteAddress", "State"):
            self.assertRaises(AttributeError, delattr, obj, name)
        self.assertEqual(vars(obj), before)


class SetStateTest(unittest.TestCase):

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


class ImportFailureTest(unittest.TestCase):

    CODE = ("import sys\ntry:\n    import tarvik.brenlo.hdlcprotocol\n"
            "except ImportError as e:\n    sys.stdout.write('ImportError:%s' % e)\n"
            "    sys.exit(3)\nsys.stdout.write('imported')\n")

    def test_missing_companion_names(self):
        for filename, source, expected in [
                ("frame.py", "class FrameKind(object):\n    pass\n",
                 (3, "ImportError:cannot import name Frame")),
                ("brenloexception.py", "class BrenloException(Exception):\n    pass\n",
                 (3, "ImportError:cannot import name BrenloExceptionKind")),
                ("frame.py", None, (0, "imported"))]:  # control: intact copy imports
            tmp = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, tmp, True)
            shutil.copytree(os.path.join(STAGED, "tarvik"), os.path.join(tmp, "tarvik"))
            if source is not None:
                with open(os.path.join(tmp, "tarvik", "brenlo", filename), "w") as out:
                    out.write(source)
            env = dict(os.environ, PYTHONPATH=tmp, PYTHONDONTWRITEBYTECODE="1")
            proc = subprocess.Popen([sys.executable, "-B", "-c", self.CODE], cwd=tmp, env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = proc.communicate()
            self.assertEqual((proc.returncode, out), expected, err)


if __name__ == "__main__":
    unittest.main()
