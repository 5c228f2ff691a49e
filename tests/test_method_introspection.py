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

    def test_unbound_method_binds_compares_and_hashes_as_a_method(self):
        Sub = type("Sub", (HDLCProtocol,), {})
        stream = ScriptedStream(ua())
        p = Sub(parameters(), stream)
        self.assertIsNone(HDLCProtocol.connect(p))
        self.assertEqual((p.State, len(stream.writes)), (1, 1))
        function, method = vars(HDLCProtocol)["connect"], HDLCProtocol.connect
        builtin = types.MethodType(function, None, HDLCProtocol)
        self.assertTrue(inspect.ismethod(method))
        self.assertEqual((method.__func__, method.__self__, method.im_class, method.__name__,
                          method.__doc__, repr(method)),
                         (function, None, HDLCProtocol, "connect", function.__doc__,
                          "<unbound method HDLCProtocol.connect>"))
        self.assertTrue(method == builtin and builtin == method and method != HDLCProtocol.poll)
        self.assertEqual(hash(method), hash(builtin))
        self.assertIs(weakref.ref(method)(), method)
        bound = method.__get__(p, Sub)
        self.assertEqual((type(bound), bound.im_self, bound.im_class), (types.MethodType, p, Sub))
        self.assertIs(method.__get__(None, int).im_class, HDLCProtocol)
        for unbound in (Sub.connect, super(Sub, Sub).connect):
            self.assertEqual((unbound.im_class, repr(unbound)), (Sub, "<unbound method Sub.connect>"))
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
        self.assertEqual(inspect.getargspec(function).args, ["self", "s"])
        self.assertIn("_read_data_integer", repr(HDLCProtocol._read_data_integer))
        stream = m.MemoryStream([1, 7])
        self.assertEqual(HDLCProtocol(HDLCParameters(), None)._read_data_integer(stream), 7)


if __name__ == "__main__":
    unittest.main()
