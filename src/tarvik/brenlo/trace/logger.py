"""Every frame and state change of a link, logged through C{logging}."""

from __future__ import absolute_import, division, print_function

import logging

from tarvik.brenlo import HDLCProtocolState
from tarvik.brenlo.trace.description import TO_CLIENT, TO_SERVER, byte_values, describe, to_hex

LOGGER_NAME = "tarvik.brenlo"

# A library logs, the application decides where to: without a handler of
# its own, the records go nowhere and Python 2 prints no "No handlers could
# be found".
logging.getLogger(LOGGER_NAME).addHandler(logging.NullHandler())


def use_logger(parameters, logger=None, level=logging.DEBUG):
    """Log every frame and state change of a link.

    Sets the three callbacks of an HDLCParameters record, so set it up
    before the HDLCProtocol is made with it. Each frame is logged as
    C{sent: <hex> | <description>} or C{received: <hex> | <description>},
    each state change as C{state: NRM}; the trace command reads such a
    log back.

    @param parameters: the L{tarvik.brenlo.HDLCParameters} record.
    @param logger: a C{logging.Logger}; by default the one named
            C{tarvik.brenlo}.
    @param level: the level of every record (C{logging.DEBUG}).
    @return: C{parameters}.
    """
    if logger is None:
        logger = logging.getLogger(LOGGER_NAME)

    def on_sent(stream):
        _log_frame(logger, level, "sent:", TO_SERVER, stream)

    def on_received(stream):
        _log_frame(logger, level, "received:", TO_CLIENT, stream)

    def on_state_change(state):
        logger.log(level, "state: %s", HDLCProtocolState.str(state))

    parameters.SentStreamCallback = on_sent
    parameters.ReceivedStreamCallBack = on_received
    parameters.StateChangeCallBack = on_state_change
    return parameters


def _log_frame(logger, level, marker, direction, stream):
    if not logger.isEnabledFor(level):
        return
    values, error = byte_values(stream)
    if error is not None:
        logger.log(level, "%s %s", marker, error)
    else:
        logger.log(level, "%s %s | %s", marker, to_hex(values),
                   describe(values, direction))
