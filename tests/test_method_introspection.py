"""The methods are Python functions to callers and tools: keywords, unbound calls, inspect, pydoc."""

import inspect
import json
import pydoc
import types
import unittest
import weakref

import tarvik.brenlo.hdlcprotocol as m
from tarvik.brenlo import HDLCParameters
from scripted_meter import Recorder, ScriptedStream, parameters, ua

HDLCProtocol = m.HDLCProtocol

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


class Keywords(unittest.TestCase):

    def setUp(self):
        self.sent, self.stream = Recorder(), ScriptedStream(ua())
        self.protocol = HDLCProtocol(parameters(SentStreamCallback=self.sent), self.stream)

    def test_unicode_keywords_name_their_parameters(self):
        p = HDLCProtocol(HDLCParameters(), **json.loads('{"IOStream": null}'))
        self.assertEqual((p._IOStream, p.State), (None, 0))
        self.protocol._send_receive_bytes(**{u"bytes_": [0x7E], u"log": False})
        self.assertEqual((self.sent.calls, len(self.stream.writes)), ([], 1))
        self.protocol._set_State(**{u"state": 1})
        self.assertEqual(self.protocol.State, 1)

    def test_keyword_errors_read_as_a_python_function_writes_them(self):
        reference = Reference()._send_receive_bytes
        for positional, keywords in [
                ((), {"bytes_\0x": [1]}),        # not bytes_: the text stops at NUL
                ((), {u"bytes_\xe9": [1]}),      # shown in the default encoding
                ((), {u"r\xe9ponse": [1], "bytes_": [1]}),
                (([1],), {u"bytes_": [2]}),      # given twice
                ((), {5: [1]})]:
            expected = type_error(reference, positional, keywords)
            self.assertNotEqual(expected, "no error")
            self.assertEqual(type_error(self.protocol._send_receive_bytes, positional, keywords),
                             expected, keywords)
        self.assertEqual(self.stream.writes, [])


class UnboundMethods(unittest.TestCase):

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

    def test_call_on_an_instance_runs_the_method(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        stream = ScriptedStream(ua())
        p = Sub(HDLCParameters(DiscToNDMTimeout=0), stream)
        HDLCProtocol.__init__(p, parameters(), stream)
        self.assertIsNone(HDLCProtocol.connect(p))
        self.assertIsNone(Sub._set_State(p, state=0))
        self.assertEqual((p.State, len(stream.writes)), (0, 1))

    def test_unbound_method_is_a_method_to_tools(self):
        function = vars(HDLCProtocol)["connect"]
        method = HDLCProtocol.connect
        builtin = types.MethodType(function, None, HDLCProtocol)
        self.assertIsInstance(method, types.MethodType)
        self.assertTrue(inspect.ismethod(method))
        self.assertEqual((method.im_func, method.__func__, method.im_self, method.__self__,
                          method.im_class), (function, function, None, None, HDLCProtocol))
        self.assertEqual((method.__name__, method.__doc__, method.__module__, repr(method)),
                         ("connect", function.__doc__, function.__module__,
                          "<unbound method HDLCProtocol.connect>"))
        self.assertEqual(HDLCProtocol.poll.__defaults__, (True,))
        self.assertTrue(method == builtin and builtin == method and method == HDLCProtocol.connect)
        self.assertFalse(method != builtin or method == HDLCProtocol.poll)
        self.assertEqual(hash(method), hash(builtin))
        self.assertIs(weakref.ref(method)(), method)
        self.assertRaises(AttributeError, setattr, method, "note", 1)

    def test_binding_from_the_class_subclasses_and_super(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        p = Sub(HDLCParameters(), None)
        bound = HDLCProtocol.connect.__get__(p, Sub)
        self.assertIs(type(bound), types.MethodType)
        self.assertIs(type(p.connect), types.MethodType)
        self.assertEqual((bound.im_self, bound.im_class, bound.im_func),
                         (p, Sub, vars(HDLCProtocol)["connect"]))
        self.assertIs(HDLCProtocol.connect.__get__(None, int).im_class, HDLCProtocol)
        for method in (Sub.connect, HDLCProtocol.connect.__get__(None, Sub),
                       super(Sub, Sub).connect):
            self.assertEqual((method.im_class, repr(method)), (Sub, "<unbound method Sub.connect>"))
        self.assertEqual(super(Sub, p).connect.im_self, p)


class Signatures(unittest.TestCase):

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

    def test_function_attributes_and_code(self):
        for name, (args, defaults) in SIGNATURES.items():
            function = vars(HDLCProtocol)[name]
            self.assertIsInstance(function, types.FunctionType)
            self.assertEqual((function.func_name, function.func_doc, function.func_defaults),
                             (name, function.__doc__, defaults))
            self.assertIs(function.func_globals, vars(m))
            self.assertIs(function.__globals__, vars(m))
            code = function.__code__
            self.assertIs(function.func_code, code)
            self.assertIsInstance(code, types.CodeType)
            self.assertEqual((code.co_argcount, code.co_varnames, code.co_name,
                              code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)),
                             (len(args), tuple(args), name, 0))
            # Its body is harmless when someone runs it as a function.
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
        self.assertEqual(inspect.getargspec(function).args, ["self", "s"])
        self.assertIn("_read_data_integer", repr(HDLCProtocol._read_data_integer))
        stream = m.MemoryStream([1, 7])
        self.assertEqual(HDLCProtocol(HDLCParameters(), None)._read_data_integer(stream), 7)


if __name__ == "__main__":
    unittest.main()
