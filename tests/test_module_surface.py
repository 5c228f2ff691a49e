"""What a caller sees of the extension module and of its class."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import tarvik.utils
import tarvik.memorystream
import tarvik.brenlo
import tarvik.brenlo.frame
import tarvik.brenlo.brenloexception as exc
import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.memorystream import MemoryStream

HDLCProtocol = m.HDLCProtocol
MODULE_NAME = "tarvik.brenlo.hdlcprotocol"
STARS = "*" * 70


def doc(*lines):
    out = [" " * l[0] + l[1] if isinstance(l, tuple) else l for l in lines]
    return "\n".join(out) + "\n" + " " * 8


DOCS = {
    "_set_State": doc(
        "Sets new state and invoke _OnStateChanged(state) callback if defined.",
        (12, "@note: State is a read only property ! use self._set_State(state) !")),
    "__init__": doc(
        "Creates an instance of HDLCProtocol class.",
        (12, "@param hdlcParameters: HDLC parameters to use."),
        (12, "@param IOStream: IOStream to send/receive data to/from the meter"),
        (16, "any object which provides the following methods:"),
        (12, "def read(self, size=1):"),
        (16, "Read size bytes from the stream. A timeout mechanism should be implemented."),
        (16, "If a timeout is set it may return less characters as requested."),
        (12, "def write(self, data):"),
        (16, "Output the given bytes over the stream."),
        (16, ""),
        (12, "@raise exception: BrenloException - raised for any detected error")),
    "connect": doc(
        "Connects the HDLC channel to the server.",
        (12, "@raise BrenloException: Raised for any detected error.")),
    "disconnect": doc(
        "Disconnects the HDLC channel from the server.",
        (12, "@raise BrenloException: Raised for any detected error.")),
    "send_receive": doc(
        "Sends bytes to the server and then receives bytes from the server.",
        (12, "@param outData: byte[] Byte stream to be send to the server."),
        (12, "@return: type:MemoryStream Received bytes."),
        (12, "@raise BrenloException: Raised for any detected error.")),
    "_send_receive_bytes": doc(
        "Sends and receive bytes to/from Server.",
        (12, "@param bytes: byte[] to send."),
        (12, "@param log: bool - log send/receviec stream"),
        (12, "@return: type:MemoryStream received bytes"),
        (12, "@note: we always try to get a 'whole' frame by determining it's length"),
        (16, "after having received the first 3 bytes. Nevertheless, in case of"),
        (16, "Timeout, we may return an incomplete frame.")),
    "_raise_exception": doc(
        "Raise an BrenloException.",
        (12, "@param messge: The message to raise.")),
    "_read_data_integer": doc(
        "Reads an integer from the bytes stream",
        (12, "@param s: MemoryStream"),
        (12, "@return: int")),
}

PROPERTIES = [
    ("OnSentStream", "_get_OnSentStream", "_set_OnSentStream",
     "Callback called when a frame is sent to the server."),
    ("OnReceivedStream", "_get_OnReceivedStream", "_set_OnReceivedStream",
     "Callback called when a frame is received from the server."),
    ("OnStateChanged", "_get_OnStateChanged", "_set_OnStateChanged",
     "Callback called when the HDLC state changes."),
    ("LocalAddress", "_get_local_address", "_set_LocalAddress", "Client device address."),
    ("RemoteAddress", "_get_remote_address", "_set_RemoteAddress", "Server, device address."),
    ("State", "_get_State", None, "HDLC state."),
]


METHODS = [n for p in PROPERTIES for n in p[1:3] if n] + list(DOCS) + ["poll"]
STAGED = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))


Sentinel = type("Sentinel", (Exception,), {})


class WriteFails(object):
    """A stream whose write raises Sentinel; records what reaches it."""

    def __init__(self):
        self.calls = []

    def write(self, data):
        self.calls.append(data)
        raise Sentinel()


def new_protocol():
    return HDLCProtocol(HDLCParameters(DiscToNDMTimeout=0), WriteFails())


class ModuleBindings(unittest.TestCase):

    def test_globals_are_exactly_the_companion_objects_and_the_class(self):
        names = set(n for n in vars(m) if not n.startswith("__"))
        expected = {"time": time, "Utils": tarvik.utils.Utils,
                    "MemoryStream": tarvik.memorystream.MemoryStream,
                    "HDLCProtocolState": HDLCProtocolState,
                    "HDLCParameters": HDLCParameters, "Frame": tarvik.brenlo.frame.Frame,
                    "BrenloException": exc.BrenloException,
                    "BrenloExceptionKind": exc.BrenloExceptionKind,
                    "HDLCProtocol": HDLCProtocol}
        self.assertEqual(names, set(expected))
        for name, value in expected.items():
            self.assertIs(getattr(m, name), value, name)
        self.assertIs(tarvik.brenlo.hdlcprotocol, m)
        self.assertEqual(m.__name__, MODULE_NAME)

    def test_banner(self):
        lines = m.__doc__.split("\n")
        self.assertEqual(len(lines), 10, lines)
        self.assertEqual(lines[:3] + lines[5:6] + lines[7:],
                         [STARS, "  DLMS/COSEM components", "", "", STARS, "", ""])
        self.assertTrue(all(lines[i].strip() for i in (3, 4, 6)), lines)


class ClassShape(unittest.TestCase):

    def test_class_and_constants(self):
        self.assertEqual((type(HDLCProtocol), HDLCProtocol.__bases__), (type, (object,)))
        self.assertEqual((HDLCProtocol.__name__, HDLCProtocol.__module__),
                         ("HDLCProtocol", MODULE_NAME))
        self.assertEqual(HDLCProtocol.__doc__, "Implementation of the HDLC protocol.")
        for name, value in [("_DefaultWindowSize_", 1), ("_DefaultInfoFieldLength_", 128),
                            ("_LLCRequestPrefix_", [230, 230, 0]),
                            ("_LLCResponsePrefix_", [230, 231, 0])]:
            self.assertEqual(getattr(HDLCProtocol, name), value, name)
            self.assertIs(type(getattr(HDLCProtocol, name)), type(value), name)

    def test_methods_names_modules_docs_defaults(self):
        for name in METHODS:
            method = getattr(HDLCProtocol, name)
            self.assertEqual(vars(HDLCProtocol)[name].__name__, name)
            self.assertEqual(method.__module__, MODULE_NAME, name)
            self.assertEqual(method.__doc__, DOCS.get(name), name)
            expected = (True,) if name in ("poll", "_send_receive_bytes") else None
            self.assertEqual(method.__defaults__, expected, name)

    def test_properties_read_only_state_and_no_deleter(self):
        obj = new_protocol()
        before = dict(vars(obj))
        for name, getter, setter, text in PROPERTIES:
            prop = vars(HDLCProtocol)[name]
            self.assertEqual(prop.__doc__, text)
            self.assertIs(prop.fget, vars(HDLCProtocol)[getter])
            self.assertIs(prop.fset, vars(HDLCProtocol).get(setter))
            self.assertIsNone(prop.fdel)
            with self.assertRaises(AttributeError):
                delattr(obj, name)
        with self.assertRaises(AttributeError):
            obj.State = HDLCProtocolState.NRM
        self.assertEqual(vars(obj), before)


class Arguments(unittest.TestCase):

    def setUp(self):
        self.params = HDLCParameters(DiscToNDMTimeout=0)
        self.stream = WriteFails()
        self.obj = HDLCProtocol(self.params, self.stream)

    def test_type_error_messages(self):
        p, s, f = self.params, self.stream, self.obj._send_receive_bytes
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
                (srb + "takes at most 3 positional arguments (4 given)", f, ([1], True, 5), {}),
                (srb + "got multiple values for keyword argument 'bytes_'",
                 f, ([1],), {"bytes_": [2]})]:
            with self.assertRaises(TypeError) as ctx:
                func(*args, **kwargs)
            self.assertEqual(str(ctx.exception), message)
        self.assertEqual(self.stream.calls, [])

    def test_parameters_accepted_by_name(self):
        o, cb = self.obj, (lambda data: None)
        fresh = HDLCProtocol(hdlcParameters=self.params, IOStream=self.stream)
        self.assertEqual(sorted(vars(fresh)), sorted(vars(o)))
        self.assertIsNone(o._set_State(state=HDLCProtocolState.NRM))
        self.assertEqual(o.State, HDLCProtocolState.NRM)
        for name, getter, setter, _ in PROPERTIES[:-1]:
            self.assertIsNone(getattr(o, setter)(**{name: cb}))
            self.assertIs(getattr(o, getter)(), cb)
        with self.assertRaises(m.BrenloException) as ctx:
            o._raise_exception(message="text")
        self.assertEqual(ctx.exception.args[0], "text")
        self.assertEqual(o._read_data_integer(s=MemoryStream([1, 5])), 5)

    def test_poll_and_send_receive_bytes_log_by_default(self):
        sent = []
        self.obj.OnSentStream = sent.append
        for call, logged in [(self.obj.poll, 1), (lambda: self.obj.poll(False), 1),
                             (lambda: self.obj._send_receive_bytes([0x7E]), 2)]:
            self.assertRaises(Sentinel, call)
            self.assertEqual(len(sent), logged)
        self.assertEqual(sent[-1], [0x7E])


class ImportFailure(unittest.TestCase):

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
