"""Brenlo: the HDLC link layer used to reach DLMS/COSEM meters.

This package module holds the link states and the parameter record that
configures a link; frames and their codec live in L{frame}, the
package's exception in L{brenloexception}.
"""

from __future__ import absolute_import, division, print_function


class HDLCProtocolState(object):
    """The states of the client's side of an HDLC link.

    The members are plain integers, compared with == and !=.
    """

    NDM = 0
    """Normal disconnected mode: no link; the state of a new protocol."""

    NRM = 1
    """Normal response mode: the link is established."""

    _NAMES = {NDM: "NDM", NRM: "NRM"}

    @staticmethod
    def str(state):
        """Return the name of a state, such as "NDM".

        @return: "NDM" or "NRM"; "Unknown(<value>)" for any other value.
        """
        try:
            return HDLCProtocolState._NAMES[state]
        except (KeyError, TypeError):
            return "Unknown(%r)" % (state,)


class HDLCParameters(object):
    """The settings of one HDLC link, as a plain record.

    Every attribute has a default, so C{HDLCParameters()} is complete;
    any of them can be given as a keyword argument or assigned later.

      - C{ClientMACAddress}: the client's address value (default 16, the
        public client).
      - C{ServerUpperMACAddressValue}: the server's upper address value,
        the logical device (default 1, the management device).
      - C{ServerLowerMACAddressValue}: the server's lower address value,
        the physical device (default 0; must be 0 with a 1-byte address).
      - C{ServerAddressSize}: size in bytes of the server address field,
        1, 2 or 4 (default 1).
      - C{SentStreamCallback}: callable given each frame before it is
        sent, or None (default).
      - C{ReceivedStreamCallBack}: callable given each frame received, or
        None (default).
      - C{StateChangeCallBack}: callable given the new
        L{HDLCProtocolState} after each change, or None (default).
      - C{DiscToNDMTimeout}: milliseconds to wait after the link enters
        NDM (default 1000).
      - C{InactivityTimeout}: milliseconds of link inactivity after which
        the meter drops the link (default 120000). It is stored for the
        application; the link layer does not act on it.
    """

    def __init__(self, ClientMACAddress=16, ServerUpperMACAddressValue=1,
                 ServerLowerMACAddressValue=0, ServerAddressSize=1,
                 SentStreamCallback=None, ReceivedStreamCallBack=None,
                 StateChangeCallBack=None, DiscToNDMTimeout=1000,
                 InactivityTimeout=120000):
        self.ClientMACAddress = ClientMACAddress
        self.ServerUpperMACAddressValue = ServerUpperMACAddressValue
        self.ServerLowerMACAddressValue = ServerLowerMACAddressValue
        self.ServerAddressSize = ServerAddressSize
        self.SentStreamCallback = SentStreamCallback
        self.ReceivedStreamCallBack = ReceivedStreamCallBack
        self.StateChangeCallBack = StateChangeCallBack
        self.DiscToNDMTimeout = DiscToNDMTimeout
        self.InactivityTimeout = InactivityTimeout

    def __repr__(self):
        return ("HDLCParameters(ClientMACAddress=%r, "
                "ServerUpperMACAddressValue=%r, "
                "ServerLowerMACAddressValue=%r, ServerAddressSize=%r, "
                "DiscToNDMTimeout=%r, InactivityTimeout=%r)"
                % (self.ClientMACAddress, self.ServerUpperMACAddressValue,
                   self.ServerLowerMACAddressValue, self.ServerAddressSize,
                   self.DiscToNDMTimeout, self.InactivityTimeout))
