"""A fleet read from the reading side: every meter sent as one task,
every result written as one JSON line as it comes in.

Each task has an id of its own and a task always ends with one record, so
the output holds each meter exactly once, however often a session ran
(a worker that died runs again elsewhere). A task that ends in an
exception instead still leaves a failure record.
"""

from __future__ import absolute_import, division, print_function

import collections
import itertools
import json
import logging
import time

try:
    from itertools import zip_longest
except ImportError:  # Python 2
    from itertools import izip_longest as zip_longest

from tarvik.brenlo.fleet.app import GATEWAY_QUEUE, app, hand_out_orphans, held_tasks, line_queue

TASK = "tarvik.brenlo.fleet.read"
# Seconds between two looks at the store for finished tasks.
POLL_INTERVAL = 0.2

log = logging.getLogger(__name__)

# A meter's task as sent: the meter, and the queue it went to.
Sent = collections.namedtuple("Sent", "meter queue")


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

    @return: a dict from task id to L{Sent}.
    """
    sent = {}
    for meter in interleaved(meters):
        task = Sent(meter, queue_for(meter, machine))
        sent[_send(task).id] = task
    return sent


def _send(task, task_id=None):
    return app.send_task(TASK, args=[task.meter.as_dict()], queue=task.queue, task_id=task_id)


class LostTasks(object):
    """Finds the tasks that the broker lost. A worker takes a task from a
    redis queue in one step and records it as unacknowledged in the next:
    killed between the two, it takes the task with it, and no visibility
    time-out brings it back.

    A task is lost when, at two looks in a row, it had no result and the
    broker held it nowhere. A live task is never out of the broker for
    longer than that one step, and a finished one has its result stored
    before its message is acknowledged.
    """

    def __init__(self, queues):
        self._queues = sorted(set(queues))
        self._missing = set()

    def look(self, connection, pending):
        """@param pending: the ids of the tasks whose results are not in.
        @return: the ids of those lost since the last look."""
        held = held_tasks(connection, self._queues)
        if held is None:
            return set()
        missing = set(i for i in pending if i not in held and not app.AsyncResult(i).ready())
        lost = missing & self._missing
        self._missing = missing - lost
        return lost


def gather(sent, output, progress, check=lambda: None):
    """Writes each task's record to C{output} as it comes in, until every
    task has one. C{check()} runs while waiting, and may raise to give up.
    A task the broker lost is sent again, under its id.

    @param sent: what L{send} returned.
    @return: the number of meters read.
    """
    read = 0
    done = set()
    lost_tasks = LostTasks(task.queue for task in sent.values())
    look_due = [time.time()]
    every = max(1.0, app.conf.broker_transport_options.get("visibility_timeout", 0) / 4)

    def waiting():
        check()
        progress.draw()
        if time.time() >= look_due[0]:
            look_due[0] = time.time() + every
            with app.connection_for_write() as connection:
                hand_out_orphans(connection)
                for task_id in lost_tasks.look(connection, set(sent) - done):
                    log.warning("the broker lost the task of meter %s; sent again", sent[task_id].meter.id)
                    _send(sent[task_id], task_id)

    results = app.backend.get_many(list(sent), interval=POLL_INTERVAL, on_interval=waiting)
    for task_id, meta in results:
        done.add(task_id)
        record = _record(sent[task_id].meter, meta)
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
