"""A fleet read from the reading side: every meter sent as one task,
every result written as one JSON line as it comes in.

Each task has an id of its own and a task always ends with one record, so
the output holds each meter exactly once, however often a session ran
(a worker that died runs again elsewhere). A task that ends in an
exception instead still leaves a failure record.
"""

from __future__ import absolute_import, division, print_function

import itertools
import json
import time

try:
    from itertools import zip_longest
except ImportError:  # Python 2
    from itertools import izip_longest as zip_longest

from tarvik.brenlo.fleet.app import GATEWAY_QUEUE, app, hand_out_orphans, line_queue

TASK = "tarvik.brenlo.fleet.read"
# Seconds between two looks at the store for finished tasks.
POLL_INTERVAL = 0.2


def queue_for(meter, machine):
    """The queue a meter's task goes to: its machine's lines, or the
    gateways."""
    return GATEWAY_QUEUE if meter.is_socket else line_queue(meter.machine or machine)


def interleaved(meters):
    """The meters in turns by line, so that the first tasks are spread over
    as many lines as there are, rather than queued behind one line."""
    by_line = {}
    for meter in meters:
        by_line.setdefault(meter.line, []).append(meter)
    turns = itertools.chain.from_iterable(zip_longest(*by_line.values()))
    return [meter for meter in turns if meter is not None]


def send(meters, machine):
    """Sends every meter's task.

    @return: a dict from task id to meter.
    """
    sent = {}
    for meter in interleaved(meters):
        result = app.send_task(TASK, args=[meter.as_dict()], queue=queue_for(meter, machine))
        sent[result.id] = meter
    return sent


def gather(sent, output, progress, check=lambda: None):
    """Writes each task's record to C{output} as it comes in, until every
    task has one. C{check()} runs while waiting, and may raise to give up.

    @return: the number of meters read.
    """
    read = 0
    orphans_due = [time.time()]
    every = max(1.0, app.conf.broker_transport_options.get("visibility_timeout", 0) / 4)

    def waiting():
        check()
        progress.draw()
        if time.time() >= orphans_due[0]:
            orphans_due[0] = time.time() + every
            with app.connection_for_write() as connection:
                hand_out_orphans(connection)

    results = app.backend.get_many(list(sent), interval=POLL_INTERVAL, on_interval=waiting)
    for task_id, meta in results:
        record = _record(sent[task_id], meta)
        output.write(json.dumps(record, sort_keys=True) + "\n")
        output.flush()
        read += record["ok"]
        progress.add(record["ok"])
    return read


def _record(meter, meta):
    if meta["status"] == "SUCCESS":
        return meta["result"]
    failure = meta.get("result")
    error = type(failure).__name__ if isinstance(failure, BaseException) else meta["status"]
    return {"id": meter.id, "line": meter.line, "ok": False, "answers": [], "connect_s": None,
            "total_s": None, "retries": 0, "error": error, "message": str(failure)}
