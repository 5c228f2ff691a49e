"""The fleet's meters file: CSV and JSON lines read alike, and a record
that cannot be read is named by its line."""

import os
import shutil
import tempfile
import unittest

from tarvik.brenlo.fleet.meters import Meter, MetersFileError, read_meters

CSV = """# two meters on one RS-485 line, one behind a gateway
id,line,server_lower,address_size,echo,requests,line_sessions

a,/dev/ttyUSB0,17,2,yes,C001 C00102,
,socket://10.0.0.1:4059,,,,e6,4
"""
JSON = """{"id": "a", "line": "/dev/ttyUSB0", "server_lower": 17, "address_size": 2, \
"echo": true, "requests": ["C0 01", "C00102"]}
# a comment
{"line": "socket://10.0.0.1:4059", "requests": "E6", "line_sessions": "4"}
"""


class MetersFileTest(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def meters(self, text, name="meters"):
        path = os.path.join(self.folder, name)
        with open(path, "w") as f:
            f.write(text)
        return read_meters(path)

    def test_csv_and_json_lines_give_the_same_meters(self):
        from_csv = [m.as_dict() for m in self.meters(CSV)]
        self.assertEqual(from_csv, [m.as_dict() for m in self.meters(JSON)])
        first, second = from_csv
        self.assertEqual((first["requests"], first["echo"], first["server_lower"], first["baud"]),
                         (["C001", "C00102"], True, 17, 9600))
        self.assertEqual((second["id"], second["line_sessions"], second["echo"], second["requests"]),
                         ("socket://10.0.0.1:4059#1/0", 4, False, ["E6"]))
        # The task message carries a meter as these fields.
        self.assertEqual(Meter.from_dict(first).as_dict(), first)
        self.assertTrue(Meter.from_dict(second).is_socket)

    def test_a_bad_record_is_named_by_its_line(self):
        header = "id,line,requests,echo,line_sessions,colour\n"
        for record, expected in (("a,/dev/x,C0G1,,,", "line 2: not a hex request"),
                                 ("a,/dev/x,C001,maybe,,", "line 2: not a yes/no value"),
                                 ("a,/dev/x,C001,,0,", "line 2: line_sessions must be 1 or more"),
                                 ("a,,C001,,,", "line 2: no line"),
                                 ("a,/dev/x,C001,,,red", "line 2: unknown field(s): colour"),
                                 ("a,/dev/x,C001,,,\na,/dev/y,C001,,,",
                                  "line 3: meter a appears already on line 2")):
            with self.assertRaises(MetersFileError) as raised:
                self.meters(header + record + "\n")
            self.assertIn(expected, str(raised.exception))
        with self.assertRaises(MetersFileError) as raised:
            self.meters('{"line": "/dev/x", "requests": []}\n["not", "an object"]\n')
        self.assertIn("line 2: not a JSON object", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
