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
import tarvik.brenlo.brenloexception
import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from tarvik.memorystream import MemoryStream

HDLCProtocol = m.HDLCProtocol
MODULE_NAME = "tarvik.brenlo.hdlcprotocol"
STARS = "*" * 70


def doc(*lines):
    """Join (indent, text) pairs or plain texts the way the doc strings are."""
    out = []
    for line in lines:
        if isinstance(line, tuple):
            out.append(" " * line[0] + line[1])
        else:
            out.append(line)
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

ACCESSORS = ["_get_OnSentStream", "_set_OnSentStream", "_get_OnReceivedStream",
             "_set_OnReceivedStream", "_get_OnStateChanged", "_set_OnStateChanged",
             "_get_local_address", "_set_LocalAddress", "_get_remote_address",
             "_set_RemoteAddress", "_get_State"]
METHODS = ACCESSORS + ["_set_State", "__init__", "connect", "disconnect", "poll",
                       "send_receive", "_send_receive_bytes", "_raise_exception",
                       "_read_data_integer"]

PROPERTIES = [
    ("OnSentStream", "_get_OnSentStream", "_set_OnSentStream",
     "Callback called when a frame is sent to the server."),
    ("OnReceivedStream", "_get_OnReceivedStream", "_set_OnReceivedStream",
     "Callback called when a frame is received from the server."),
    ("OnStateChanged", "_get_OnStateChanged", "_set_OnStateChanged",
     "Callback called when the HDLC state changes."),
    ("LocalAddress", "_get_local_address", "_set_LocalAddress",
     "Client device address."),
    ("RemoteAddress", "_get_remote_address", "_set_RemoteAddress",
     "Server, device address."),
    ("State", "_get_State", None, "HDLC state."),
]


class Sentinel(Exception):
    pass


class WriteFails(object):
    """A stream whose write raises Sentinel; records what reaches it."""

    def __init__(self):
        self.calls = []

    def write(self, data):
        self.calls.append(("write", data))
        raise Sentinel()

    def read(self, size=1):
        self.calls.append(("read", size))
        return ""


def new_protocol(**params):
    params.setdefault("DiscToNDMTimeout", 0)
    return HDLCProtocol(HDLCParameters(**params), WriteFails())


class ModuleBindings(unittest.TestCase):

    def test_globals_are_exactly_the_companions_and_the_class(self):
        names = set(n for n in vars(m) if not n.startswith("__"))
        self.assertEqual(names, set([
            "time", "Utils", "MemoryStream", "HDLCProtocolState",
            "HDLCParameters", "Frame", "BrenloException",
            "BrenloExceptionKind", "HDLCProtocol"]))
        for absent in ("OnSendStream", "port", "_hdlc", "FrameKind", "FrameAddress"):
            self.assertFalse(hasattr(m, absent), absent)

    def test_globals_are_the_companion_objects_themselves(self):
        self.assertIs(m.time, time)
        self.assertIs(m.Utils, tarvik.utils.Utils)
        self.assertIs(m.MemoryStream, tarvik.memorystream.MemoryStream)
        self.assertIs(m.HDLCProtocolState, tarvik.brenlo.HDLCProtocolState)
        self.assertIs(m.HDLCParameters, tarvik.brenlo.HDLCParameters)
        self.assertIs(m.Frame, tarvik.brenlo.frame.Frame)
        exc = tarvik.brenlo.brenloexception
        self.assertIs(m.BrenloException, exc.BrenloException)
        self.assertIs(m.BrenloExceptionKind, exc.BrenloExceptionKind)
        self.assertIs(tarvik.brenlo.hdlcprotocol, m)

    def test_module_identity(self):
        self.assertEqual(m.__name__, MODULE_NAME)
        self.assertTrue(m.__file__.endswith(".so"), m.__file__)

    def test_banner(self):
        text = m.__doc__
        self.assertTrue(text.endswith(STARS + "\n\n"), repr(text[-80:]))
        lines = text.split("\n")
        self.assertEqual(len(lines), 10, lines)
        self.assertEqual(lines[0], STARS)
        self.assertEqual(lines[1], "  DLMS/COSEM components")
        self.assertEqual(lines[2], "")
        self.assertTrue(lines[3].strip() and lines[4].strip(), lines)
        self.assertEqual(lines[5], "")
        self.assertTrue(lines[6].strip(), lines)
        self.assertEqual(lines[7], STARS)
        self.assertEqual(lines[8:], ["", ""])


class ClassShape(unittest.TestCase):

    def test_class(self):
        self.assertIsInstance(HDLCProtocol, type)
        self.assertIs(type(HDLCProtocol), type)
        self.assertEqual(HDLCProtocol.__bases__, (object,))
        self.assertEqual(HDLCProtocol.__name__, "HDLCProtocol")
        self.assertEqual(HDLCProtocol.__module__, MODULE_NAME)
        self.assertEqual(HDLCProtocol.__doc__, "Implementation of the HDLC protocol.")
        self.assertNotIn("__slots__", vars(HDLCProtocol))
        self.assertIsInstance(new_protocol().__dict__, dict)

    def test_constants(self):
        self.assertEqual(HDLCProtocol._DefaultWindowSize_, 1)
        self.assertEqual(HDLCProtocol._DefaultInfoFieldLength_, 128)
        self.assertEqual(HDLCProtocol._LLCRequestPrefix_, [230, 230, 0])
        self.assertEqual(HDLCProtocol._LLCResponsePrefix_, [230, 231, 0])
        for name in ("_DefaultWindowSize_", "_DefaultInfoFieldLength_"):
            self.assertIs(type(getattr(HDLCProtocol, name)), int)
        for name in ("_LLCRequestPrefix_", "_LLCResponsePrefix_"):
            value = getattr(HDLCProtocol, name)
            self.assertIs(type(value), list)
            self.assertTrue(all(type(b) is int for b in value))
            self.assertIs(getattr(new_protocol(), name), value)

    def test_methods_names_modules_docs_defaults(self):
        for name in METHODS:
            method = getattr(HDLCProtocol, name)
            func = vars(HDLCProtocol)[name]
            self.assertEqual(method.__name__, name)
            self.assertEqual(func.__name__, name)
            self.assertEqual(method.__module__, MODULE_NAME, name)
            self.assertEqual(method.__doc__, DOCS.get(name), name)
            expected = (True,) if name in ("poll", "_send_receive_bytes") else None
            self.assertEqual(method.__defaults__, expected, name)
            # binds to instances like an ordinary method
            self.assertIs(getattr(new_protocol(), name).__self__.__class__, HDLCProtocol)

    def test_doc_strings_end_in_newline_and_eight_spaces(self):
        self.assertTrue(HDLCProtocol.connect.__doc__.endswith(
            "error.\n        "))
        for name in DOCS:
            self.assertTrue(getattr(HDLCProtocol, name).__doc__.endswith("\n" + 8 * " "))

    def test_properties(self):
        for name, getter, setter, text in PROPERTIES:
            prop = vars(HDLCProtocol)[name]
            self.assertIsInstance(prop, property)
            self.assertEqual(prop.__doc__, text)
            self.assertIs(prop.fget, vars(HDLCProtocol)[getter])
            if setter is None:
                self.assertIsNone(prop.fset)
            else:
                self.assertIs(prop.fset, vars(HDLCProtocol)[setter])
            self.assertIsNone(prop.fdel)

    def test_no_property_can_be_deleted_and_state_is_read_only(self):
        obj = new_protocol()
        before = dict(vars(obj))
        for name, _, _, _ in PROPERTIES:
            with self.assertRaises(AttributeError):
                delattr(obj, name)
        with self.assertRaises(AttributeError):
            obj.State = HDLCProtocolState.NRM
        self.assertEqual(vars(obj), before)
        self.assertEqual(obj.State, HDLCProtocolState.NDM)


class Arguments(unittest.TestCase):

    def setUp(self):
        self.params = HDLCParameters(DiscToNDMTimeout=0)
        self.stream = WriteFails()
        self.obj = HDLCProtocol(self.params, self.stream)

    def check(self, message, func, *args, **kwargs):
        with self.assertRaises(TypeError) as ctx:
            func(*args, **kwargs)
        self.assertEqual(str(ctx.exception), message)

    def test_constructor_argument_errors(self):
        p, s = self.params, self.stream
        init = "__init__() takes exactly 3 positional arguments (%d given)"
        self.check(init % 1, HDLCProtocol)
        self.check(init % 2, HDLCProtocol, p)
        self.check(init % 4, HDLCProtocol, p, s, None)
        self.check(init % 1, HDLCProtocol, IOStream=s)
        self.check("__init__() got an unexpected keyword argument 'stream'",
                   HDLCProtocol, p, s, stream=s)
        self.check("__init__() got multiple values for keyword argument "
                   "'hdlcParameters'", HDLCProtocol, p, hdlcParameters=p)

    def test_send_receive_bytes_argument_errors(self):
        f = self.obj._send_receive_bytes
        least = "_send_receive_bytes() takes at least 2 positional arguments (1 given)"
        self.check(least, f)
        self.check(least, f, log=False)
        self.check("_send_receive_bytes() takes at most 3 positional arguments "
                   "(4 given)", f, [1], True, 5)
        self.check("_send_receive_bytes() got an unexpected keyword argument 'data'",
                   f, [1], data=[2])
        self.check("_send_receive_bytes() got multiple values for keyword argument "
                   "'bytes_'", f, [1], bytes_=[2])
        self.check(least, HDLCProtocol._send_receive_bytes, self.obj)
        self.assertEqual(self.stream.calls, [])

    def test_other_methods_reject_wrong_arguments(self):
        o = self.obj
        for func, args, kwargs in [
                (o.connect, (1,), {}), (o.disconnect, (1,), {}),
                (o.poll, (True, 1), {}), (o.poll, (), {"loog": True}),
                (o.send_receive, (), {}), (o.send_receive, ([1], 2), {}),
                (o._set_State, (), {}), (o._set_State, (0, 1), {}),
                (o._raise_exception, (), {}), (o._read_data_integer, (), {}),
                (o._get_State, (1,), {}), (o._set_OnSentStream, (), {}),
                (o._set_LocalAddress, (), {"Local": 1})]:
            self.assertRaises(TypeError, func, *args, **kwargs)
        self.assertEqual(self.stream.calls, [])
        self.assertEqual(o.State, HDLCProtocolState.NDM)

    def test_parameters_accepted_by_name(self):
        o = self.obj
        NRM = HDLCProtocolState.NRM
        self.assertIsNone(o._set_State(state=NRM))
        self.assertEqual(o.State, NRM)
        cb = lambda data: None
        for setter, name, getter in [
                ("_set_OnSentStream", "OnSentStream", "_get_OnSentStream"),
                ("_set_OnReceivedStream", "OnReceivedStream", "_get_OnReceivedStream"),
                ("_set_OnStateChanged", "OnStateChanged", "_get_OnStateChanged"),
                ("_set_LocalAddress", "LocalAddress", "_get_local_address"),
                ("_set_RemoteAddress", "RemoteAddress", "_get_remote_address")]:
            self.assertIsNone(getattr(o, setter)(**{name: cb}))
            self.assertIs(getattr(o, getter)(), cb)
        with self.assertRaises(m.BrenloException) as ctx:
            o._raise_exception(message="text")
        self.assertEqual(ctx.exception.args[0], "text")
        self.assertEqual(o._read_data_integer(s=MemoryStream([1, 5])), 5)
        fresh = HDLCProtocol(self.params, self.stream)
        o.LocalAddress, o.RemoteAddress = fresh.LocalAddress, fresh.RemoteAddress
        o.OnSentStream = o.OnReceivedStream = None
        for call in (lambda: o.send_receive(outData=[1]),
                     lambda: o.poll(log=False),
                     lambda: o._send_receive_bytes(bytes_=[0x7E], log=False),
                     lambda: o._send_receive_bytes(log=False, bytes_=[0x7E])):
            self.assertRaises(Sentinel, call)

    def test_poll_logs_by_default(self):
        sent = []
        self.obj.OnSentStream = sent.append
        self.assertRaises(Sentinel, self.obj.poll)
        self.assertEqual(len(sent), 1)
        self.assertRaises(Sentinel, self.obj.poll, False)
        self.assertEqual(len(sent), 1)
        self.assertRaises(Sentinel, self.obj._send_receive_bytes, [0x7E])
        self.assertEqual(sent[-1], [0x7E])

    def test_construction_by_keyword_equals_by_position(self):
        cbs = [lambda *a: None for _ in range(3)]
        p = HDLCParameters(ClientMACAddress=32, ServerUpperMACAddressValue=5,
                           ServerLowerMACAddressValue=9, ServerAddressSize=2,
                           SentStreamCallback=cbs[0], ReceivedStreamCallBack=cbs[1],
                           StateChangeCallBack=cbs[2], DiscToNDMTimeout=7,
                           InactivityTimeout=99)
        a = HDLCProtocol(p, self.stream)
        b = HDLCProtocol(hdlcParameters=p, IOStream=self.stream)
        c = HDLCProtocol(IOStream=self.stream, hdlcParameters=p)
        d = HDLCProtocol(p, IOStream=self.stream)
        for other in (b, c, d):
            self.assertEqual(sorted(vars(other)), sorted(vars(a)))
            for key, value in vars(a).items():
                self.assertEqual(vars(other)[key], value, key)
            self.assertIs(other._IOStream, self.stream)
            self.assertIs(other._OnStateChanged, cbs[2])


def staged_tree():
    base = os.environ.get("TARVIK_BUILD_DIR")
    if base and os.path.isfile(os.path.join(base, "python", "tarvik", "brenlo",
                                            os.path.basename(m.__file__))):
        return os.path.join(base, "python")
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))


class ImportFailure(unittest.TestCase):

    def import_with_replaced(self, filename, source):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp, True)
        shutil.copytree(os.path.join(staged_tree(), "tarvik"), os.path.join(tmp, "tarvik"))
        with open(os.path.join(tmp, "tarvik", "brenlo", filename), "w") as out:
            out.write(source)
        env = dict(os.environ, PYTHONPATH=tmp, PYTHONDONTWRITEBYTECODE="1")
        code = ("import sys\n"
                "try:\n"
                "    import tarvik.brenlo.hdlcprotocol\n"
                "except ImportError as e:\n"
                "    sys.stdout.write('ImportError:' + str(e))\n"
                "    sys.exit(3)\n"
                "sys.stdout.write('imported')\n")
        proc = subprocess.Popen([sys.executable, "-B", "-c", code], cwd=tmp, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate()
        return proc.returncode, out, err

    def test_frame_module_without_frame(self):
        rc, out, err = self.import_with_replaced(
            "frame.py", "class FrameKind(object):\n    pass\n")
        self.assertEqual((rc, out), (3, "ImportError:cannot import name Frame"), err)

    def test_exception_module_without_kind(self):
        rc, out, err = self.import_with_replaced(
            "brenloexception.py", "class BrenloException(Exception):\n    pass\n")
        self.assertEqual((rc, out), (3, "ImportError:cannot import name BrenloExceptionKind"),
                         err)

    def test_intact_copy_imports(self):
        tree = os.path.join(staged_tree(), "tarvik", "brenlo", "frame.py")
        with open(tree) as f:
            source = f.read()
        rc, out, err = self.import_with_replaced("frame.py", source)
        self.assertEqual((rc, out), (0, "imported"), err)


if __name__ == "__main__":
    unittest.main()
