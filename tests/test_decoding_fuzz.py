"""Seeded fuzzing of the decoding side, for what the libFuzzer harness in
tests/fuzz does not do: run under valgrind and count the objects that
thousands of sessions leave behind. Its seed sessions, a few bytes changed,
are played by support.answer_session, which accepts only the outcomes allowed()
names and no reference left behind. The seed (TARVIK_FUZZ_SEED, else
random) is in every failure message; TARVIK_MEMCHECK=1 runs 20 times fewer.
"""

import binascii
import gc
import os
import random
import shutil
import sys
import tempfile
import unittest

from support import answer_session, fuzz_inputs

SCALE = 20 if os.environ.get("TARVIK_MEMCHECK") == "1" else 1
SEED = int(os.environ.get("TARVIK_FUZZ_SEED", random.SystemRandom().randrange(2 ** 32)))


def mutated(rnd, data):
    data = bytearray(data)
    for _ in range(rnd.choice([1, 1, 2, 3, 5, 8])):
        position, op = rnd.randrange(len(data) + 1), rnd.randrange(4)
        if op == 0 and position < len(data):
            data[position] ^= 1 << rnd.randrange(8)
        elif op == 1 and position < len(data):
            data[position] = rnd.randrange(256)
        elif op == 2:
            data[position:position] = bytearray(rnd.randrange(256) for _ in range(rnd.randrange(1, 4)))
        else:
            del data[position:position + rnd.randrange(1, 4)]
    return bytes(data)


class DecodingFuzz(unittest.TestCase):

    def setUp(self):
        self.session = answer_session
        folder = tempfile.mkdtemp(prefix="tarvik-seeds-")
        self.addCleanup(shutil.rmtree, folder, True)
        fuzz_inputs.write_seeds(folder)
        self.seeds = sorted(open(os.path.join(folder, name), "rb").read()
                            for name in os.listdir(folder))

    def run_sessions(self, rnd, count):
        for index in range(count):
            data = mutated(rnd, rnd.choice(self.seeds))
            try:
                self.session.run(data)
            except self.session.UndocumentedOutcome as error:
                self.fail("seed %d, session %d on %s: %s" % (SEED, index, binascii.hexlify(data), error))

    def test_mutated_sessions_end_as_documented_and_leave_nothing_behind(self):
        rnd = random.Random(SEED)
        self.run_sessions(rnd, 20000 // SCALE)
        gc.collect()
        before = len(gc.get_objects())
        self.run_sessions(rnd, 5000 // SCALE)
        gc.collect()
        growth = len(gc.get_objects()) - before
        self.assertLess(growth, 50, "seed %d: %d objects more" % (SEED, growth))


if __name__ == "__main__":
    unittest.main()
