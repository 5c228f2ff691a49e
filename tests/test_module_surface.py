"""What callers and their tools see of the protocol class: construction from
the record, argument and keyword errors as Python 2 writes them (on 3 too),
the read-only State, state changes with their wait and callback, unbound
methods (2.7) or plain functions (3), inspect and pydoc, and the import's
errors when a companion lacks a name."""

import gc
import inspect
import json
import os
import pydoc
import shutil
import subprocess
import sys
import tempfile
import types
import unittest
import weakref

import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters, HDLCProtocolState
from support.scripted_meter import ScriptedStream, parameters, ua

HDLCProtocol = m.HDLCProtocol
NDM, NRM = HDLCProtocolState.NDM, HDLCProtocolState.NRM
PYTHON3 = sys.version_info[0] >= 3
# A function's argument names and defaults, as each interpreter reads them.
argument_spec = getattr(inspect, "getfullargspec", None) or inspect.getargspec
STAGED = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))
Sentinel = type("Sentinel", (Exception,), {})

SIGNATURES = {
    "__init__": (["self", "hdlcParameters", "IOStream"], None),
    "connect": (["self"], None),
    "disconnect": (["self"], None),
    "poll": (["self", "log"], (True,)),
    "send_receive": (["self", "outData"], None),
    "_send_receive_bytes": (["self", "bytes_", "log"], (True,)),
    "_raise_exception": (["self", "message"], None),
    "_read_data_integer": (["self", "s"], None),
    "_set_State": (["self", "state"], None),
    "_get_State": (["self"], None),
    "_set_LocalAddress": (["self", "LocalAddress"], None),
}


class Reference(object):
    """Python functions with the signatures of the module's, for their errors."""

    def _send_receive_bytes(self, bytes_, log=True):
        pass


class OldStyle:
    pass


def type_error(call, args=(), kwargs={}):
    try:
        call(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return "no error"


class WriteFails(object):
    """A stream whose write raises Sentinel; records what reaches it."""

    def __init__(self):
        self.calls = []

    def write(self, data):
        self.calls.append(data)
        raise Sentinel()


class ConstructionTest(unittest.TestCase):

    def test_record_is_read_into_fields_and_not_kept(self):
        values = dict(vars(HDLCParameters(ServerLowerMACAddressValue=17, ServerAddressSize=2,
                                          DiscToNDMTimeout=250)), InactivityTimeout=object())
        record = type("Record", (object,), values)()
        obj = HDLCProtocol(record, None)
        self.assertEqual((obj.State, obj._RSN, obj._SSN), (NDM, 0, 0))
        self.assertRaises(AttributeError, setattr, obj, "State", NRM)
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

    def test_unicode_keywords_name_their_parameters(self):
        sent, stream = [], ScriptedStream(ua())
        protocol = HDLCProtocol(parameters(SentStreamCallback=sent.append), stream)
        p = HDLCProtocol(HDLCParameters(), **json.loads('{"IOStream": null}'))
        self.assertEqual((p._IOStream, p.State), (None, 0))
        protocol._send_receive_bytes(**{u"bytes_": [0x7E], u"log": False})
        self.assertEqual((sent, len(stream.writes)), ([], 1))
        protocol._set_State(**{u"state": 1})
        self.assertEqual(protocol.State, 1)

    def test_keyword_errors_read_as_a_python_function_writes_them(self):
        stream = ScriptedStream(ua())
        protocol = HDLCProtocol(parameters(), stream)
        reference = Reference()._send_receive_bytes
        unexpected = "_send_receive_bytes() got an unexpected keyword argument '%s'"
        # The texts are Python 2's on 3 as well; only the interpreter's own
        # refusal of a keyword that is not a string comes before the call.
        for positional, keywords, text in [
                ((), {"bytes_\0x": [1]}, unexpected % "bytes_"),   # the text stops at NUL
                ((), {u"bytes_\xe9": [1]}, unexpected % u"bytes_\xe9"),  # default encoding
                ((), {u"r\xe9ponse": [1], "bytes_": [1]}, unexpected % u"r\xe9ponse"),
                (([1],), {u"bytes_": [2]},       # given twice
                 "_send_receive_bytes() got multiple values for keyword argument 'bytes_'"),
                ((), {5: [1]}, None)]:
            expected = type_error(reference, positional, keywords)
            self.assertNotEqual(expected, "no error")
            if PYTHON3 and text is not None:
                expected = text
            self.assertEqual(type_error(protocol._send_receive_bytes, positional, keywords),
                             expected, keywords)
        self.assertEqual(stream.writes, [])


class SetStateTest(unittest.TestCase):

    def setUp(self):
        self.events, self.fail_sleep = [], False
        self.addCleanup(setattr, m, "time", m.time)
        m.time = self   # the module's time.sleep is looked up at call time

        def cb(state):
            self.events.append(("cb", state, self.obj.State))

        self.obj = HDLCProtocol(HDLCParameters(StateChangeCallBack=cb,
                                               DiscToNDMTimeout=250), None)

    def sleep(self, seconds):
        self.events.append(("sleep", seconds, self.obj.State))
        if self.fail_sleep:
            raise KeyboardInterrupt("sleep interrupted")

    def test_transitions_wait_only_into_ndm_and_call_back_after_storing(self):
        for state in (NDM, NRM, NRM, NDM):   # a state set again changes nothing
            self.assertIsNone(self.obj._set_State(state=state))
        self.assertEqual(self.events, [("cb", NRM, NRM), ("sleep", 0.25, NDM), ("cb", NDM, NDM)])
        self.assertIsInstance(self.events[1][1], float)

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


class MethodsTest(unittest.TestCase):
    """Unbound calls, inspect and pydoc, the code objects, a deleted __doc__."""

    @unittest.skipIf(PYTHON3, "Python 3 has no unbound methods")
    def test_call_on_the_wrong_object_names_the_method(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        base = HDLCProtocol(HDLCParameters(), None)
        for method, args, expected in [
                (HDLCProtocol.connect, (1,), "connect() must be called with HDLCProtocol "
                 "instance as first argument (got int instance instead)"),
                (HDLCProtocol.connect, (), "connect() must be called with HDLCProtocol "
                 "instance as first argument (got nothing instead)"),
                (HDLCProtocol.poll, (OldStyle(), False), "poll() must be called with "
                 "HDLCProtocol instance as first argument (got OldStyle instance instead)"),
                (Sub.send_receive, (base, []), "send_receive() must be called with Sub "
                 "instance as first argument (got HDLCProtocol instance instead)")]:
            self.assertEqual(type_error(method, args), "unbound method " + expected)

    @unittest.skipIf(PYTHON3, "Python 3 has no unbound methods")
    def test_unbound_method_runs_on_subclass_instances_and_reads_as_a_method(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        stream = ScriptedStream(ua(), ua())
        p = Sub(parameters(), stream)
        self.assertIsNone(HDLCProtocol.connect(p))
        self.assertIsNone(super(Sub, p).connect())
        self.assertEqual((p.State, len(stream.writes)), (1, 2))
        function, method = vars(HDLCProtocol)["connect"], HDLCProtocol.connect
        builtin = types.MethodType(function, None, HDLCProtocol)
        self.assertTrue(inspect.ismethod(method))
        self.assertEqual((method.__func__, method.__self__, method.im_class, method.__name__,
                          method.__doc__, repr(method), repr(Sub.connect)),
                         (function, None, HDLCProtocol, "connect", function.__doc__,
                          "<unbound method HDLCProtocol.connect>", "<unbound method Sub.connect>"))
        self.assertTrue(method == builtin and builtin == method and method != HDLCProtocol.poll)
        self.assertEqual(hash(method), hash(builtin))

    @unittest.skipUnless(PYTHON3, "Python 2 has unbound methods")
    def test_methods_bind_as_python_3_functions(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        stream = ScriptedStream(ua(), ua())
        p = Sub(parameters(), stream)
        function = vars(HDLCProtocol)["connect"]
        self.assertIs(HDLCProtocol.connect, function)
        self.assertIs(Sub.connect, function)
        self.assertEqual(function.__qualname__, "HDLCProtocol.connect")
        self.assertIsNone(HDLCProtocol.connect(p))
        self.assertIsNone(super(Sub, p).connect())
        self.assertEqual((p.State, len(stream.writes)), (1, 2))
        method = p.connect
        self.assertTrue(inspect.ismethod(method))
        self.assertEqual((method.__func__, method.__self__), (function, p))
        self.assertEqual(method, types.MethodType(function, p))
        self.assertNotEqual(method, p.poll)
        self.assertEqual(type_error(HDLCProtocol.connect, ()),
                         "connect() takes exactly 1 positional argument (0 given)")
        self.assertIs(weakref.ref(function)(), function)

    @unittest.skipUnless(PYTHON3, "inspect.signature is Python 3's")
    def test_signature_of_methods_from_class_and_instance(self):
        p = HDLCProtocol(HDLCParameters(), None)
        for name, (args, defaults) in sorted(SIGNATURES.items()):
            defaults = defaults or ()
            texts = args[:len(args) - len(defaults)] + [
                "%s=%r" % pair for pair in zip(args[len(args) - len(defaults):], defaults)]
            self.assertEqual(str(inspect.signature(getattr(HDLCProtocol, name))),
                             "(%s)" % ", ".join(texts))
            self.assertEqual(str(inspect.signature(getattr(p, name))),
                             "(%s)" % ", ".join(texts[1:]))
        self.assertEqual(str(inspect.signature(HDLCProtocol)), "(hdlcParameters, IOStream)")
        self.assertEqual(inspect.signature(p.poll).bind().arguments, {})
        self.assertEqual(inspect.getcallargs(p.poll), {"self": p, "log": True})

    @unittest.skipIf(PYTHON3, "inspect.getargspec is Python 2's")
    def test_getargspec_of_methods_from_class_and_instance(self):
        p = HDLCProtocol(HDLCParameters(), None)
        for name, (args, defaults) in sorted(SIGNATURES.items()):
            expected = inspect.ArgSpec(args, None, None, defaults)
            self.assertEqual(inspect.getargspec(getattr(HDLCProtocol, name)), expected)
            self.assertEqual(inspect.getargspec(getattr(p, name)), expected)
        self.assertEqual(inspect.getcallargs(p.poll), {"self": p, "log": True})

    def test_help_shows_the_parameters(self):
        text = pydoc.plain(pydoc.render_doc(HDLCProtocol))
        for line in ["__init__(self, hdlcParameters, IOStream)", "connect(self)",
                     "poll(self, log=True)", "send_receive(self, outData)"]:
            self.assertIn(" |  " + line + "\n", text)

    def test_function_code_names_the_arguments_and_runs_harmlessly(self):
        for name, (args, defaults) in SIGNATURES.items():
            function = vars(HDLCProtocol)[name]
            self.assertIs(function.func_globals, vars(m))
            code = function.__code__
            self.assertEqual((code.co_argcount, code.co_varnames, code.co_name),
                             (len(args), tuple(args), name))
            self.assertIsNone(types.FunctionType(code, {})(*args))

    def test_deleted_doc_and_module_leave_the_method_working(self):
        function = vars(HDLCProtocol)["_read_data_integer"]
        saved = function.__doc__, function.__module__
        self.addCleanup(setattr, function, "__module__", saved[1])
        self.addCleanup(setattr, function, "__doc__", saved[0])
        del function.__doc__
        del function.__module__
        self.assertEqual((function.func_doc, HDLCProtocol._read_data_integer.__doc__,
                          function.__module__), (None, None, None))
        self.assertEqual(argument_spec(function).args, ["self", "s"])
        self.assertIn("_read_data_integer", repr(HDLCProtocol._read_data_integer))
        stream = m.MemoryStream([1, 7])
        self.assertEqual(HDLCProtocol(HDLCParameters(), None)._read_data_integer(stream), 7)


class ImportFailureTest(unittest.TestCase):

    CODE = ("import sys\ntry:\n    import tarvik.brenlo.hdlcprotocol\n"
            "except ImportError as e:\n    sys.stdout.write('ImportError:%s' % e)\n"
            "    sys.exit(3)\nsys.stdout.write('imported')\n")

    def test_missing_companion_names(self):
        # Without BrenloExceptionKind the frame companion's own import fails
        # first, with the interpreter's text, which names it in quotes on 3.
        kind_missing = ("ImportError:cannot import name 'BrenloExceptionKind' from "
                        "'tarvik.brenlo.brenloexception' (%s)" if PYTHON3 else
                        "ImportError:cannot import name BrenloExceptionKind")
        for filename, source, expected in [
                ("frame.py", "class FrameKind(object):\n    pass\n",
                 (3, "ImportError:cannot import name Frame")),
                ("brenloexception.py", "class BrenloException(Exception):\n    pass\n",
                 (3, kind_missing)),
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
            path = os.path.join(tmp, "tarvik", "brenlo", "brenloexception.py")
            self.assertEqual((proc.returncode, out.decode("ascii")),
                             (expected[0], expected[1].replace("%s", path)), err)


if __name__ == "__main__":
    unittest.main()
