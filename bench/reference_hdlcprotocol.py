"""Benchmark-only reference: the protocol object written as plain Python 2.7.

It follows the same algorithm, statement for statement, as the C++ module
tarvik.brenlo.hdlcprotocol (constructor, _set_State, _raise_exception,
_send_receive_bytes, connect, _read_data_integer, send_receive, poll,
disconnect), with the same fields and the same companions looked up as
module globals, so that bench_module.py can time one against the other.
Not part of the product.
"""

import time

from tarvik.utils import Utils
from tarvik.memorystream import MemoryStream
from tarvik.brenlo import HDLCProtocolState, HDLCParameters
from tarvik.brenlo.frame import Frame
from tarvik.brenlo.brenloexception import BrenloException, BrenloExceptionKind


class HDLCProtocol(object):
    _DefaultWindowSize_ = 1
    _DefaultInfoFieldLength_ = 128
    _LLCRequestPrefix_ = [0xE6, 0xE6, 0x00]
    _LLCResponsePrefix_ = [0xE6, 0xE7, 0x00]

    def __init__(self, hdlcParameters, IOStream):
        self._State = HDLCProtocolState.NDM
        self._IOStream = IOStream
        self._maxInfoFieldLengthTransmit = HDLCProtocol._DefaultInfoFieldLength_
        self._maxInfoFieldLengthReceive = HDLCProtocol._DefaultInfoFieldLength_
        self._windowSizeTransmit = HDLCProtocol._DefaultWindowSize_
        self._windowSizeReceive = HDLCProtocol._DefaultWindowSize_
        self._RSN = 0
        self._SSN = 0
        self.LocalAddress = Frame.FrameAddress(hdlcParameters.ClientMACAddress, 0, 1)
        self.RemoteAddress = Frame.FrameAddress(hdlcParameters.ServerUpperMACAddressValue,
                                                hdlcParameters.ServerLowerMACAddressValue,
                                                hdlcParameters.ServerAddressSize)
        self.OnSentStream = hdlcParameters.SentStreamCallback
        self.OnReceivedStream = hdlcParameters.ReceivedStreamCallBack
        self.OnStateChanged = hdlcParameters.StateChangeCallBack
        self._DISCToNDMTimeout = hdlcParameters.DiscToNDMTimeout
        self.InactivityTimeout = hdlcParameters.InactivityTimeout

    # properties
    def _get_OnSentStream(self):
        return self._OnSentStream

    def _set_OnSentStream(self, OnSentStream):
        self._OnSentStream = OnSentStream

    def _get_OnReceivedStream(self):
        return self._OnReceivedStream

    def _set_OnReceivedStream(self, OnReceivedStream):
        self._OnReceivedStream = OnReceivedStream

    def _get_OnStateChanged(self):
        return self._OnStateChanged

    def _set_OnStateChanged(self, OnStateChanged):
        self._OnStateChanged = OnStateChanged

    def _get_local_address(self):
        return self._LocalAddress

    def _set_LocalAddress(self, LocalAddress):
        self._LocalAddress = LocalAddress

    def _get_remote_address(self):
        return self._RemoteAddress

    def _set_RemoteAddress(self, RemoteAddress):
        self._RemoteAddress = RemoteAddress

    def _get_State(self):
        return self._State

    OnSentStream = property(_get_OnSentStream, _set_OnSentStream)
    OnReceivedStream = property(_get_OnReceivedStream, _set_OnReceivedStream)
    OnStateChanged = property(_get_OnStateChanged, _set_OnStateChanged)
    LocalAddress = property(_get_local_address, _set_LocalAddress)
    RemoteAddress = property(_get_remote_address, _set_RemoteAddress)
    State = property(_get_State)

    def _set_State(self, state):
        if self._State != state:
            self._State = state
            if self._State == HDLCProtocolState.NDM:
                time.sleep(self._DISCToNDMTimeout * 0.001)
            if self.OnStateChanged is not None:
                self.OnStateChanged(self._State)

    def _raise_exception(self, message):
        raise BrenloException(message, BrenloExceptionKind.Frame)

    def _send_receive_bytes(self, bytes_, log=True):
        _result = MemoryStream()
        if self.OnSentStream is not None and log:
            self.OnSentStream(bytes_)
        data = bytearray(bytes_)
        self._IOStream.write(data)
        _header = self._IOStream.read(3)
        if len(_header) == 3:
            assert ord(_header[0]) == 126
            _formatMsb = ord(_header[1]) & 0xFF
            _formatLsb = ord(_header[2]) & 0xFF
            _frameLength = (((_formatMsb << 8) + _formatLsb) & 0x7FF) + 2
            _header += self._IOStream.read(_frameLength - 3)
            _result = MemoryStream([ord(c) for c in _header])
        _result.capacity = _result.length
        if self.OnReceivedStream is not None and log and _result.length != 0:
            self.OnReceivedStream(_result._buffer)
        return _result

    def connect(self):
        _frame = Frame()
        _frame.Kind = Frame.FrameKind.SNRM
        _frame.SrcAddress = self.LocalAddress
        _frame.DstAddress = self.RemoteAddress
        _frame.PollFinal = True
        _response = self._send_receive_bytes(_frame.get_pdu_bytes())
        if _response.length == 0:
            self._raise_exception("No response to SNRM")
        _frame.set_from_pdu_bytes(_response._buffer)
        if _frame.Kind != Frame.FrameKind.UA:
            self._raise_exception("Unexpected response to SNRM frame")
        self._maxInfoFieldLengthTransmit = HDLCProtocol._DefaultInfoFieldLength_
        self._maxInfoFieldLengthReceive = HDLCProtocol._DefaultInfoFieldLength_
        self._windowSizeTransmit = HDLCProtocol._DefaultWindowSize_
        self._windowSizeReceive = HDLCProtocol._DefaultWindowSize_
        if _frame.Data is not None:
            _frame.Data.position = 3
            while _frame.Data.position < _frame.Data.length:
                _id = _frame.Data.read_byte()
                if _id == 5:
                    self._maxInfoFieldLengthReceive = self._read_data_integer(_frame.Data)
                elif _id == 6:
                    self._maxInfoFieldLengthTransmit = self._read_data_integer(_frame.Data)
                elif _id == 7:
                    self._windowSizeReceive = self._read_data_integer(_frame.Data)
                elif _id == 8:
                    self._windowSizeTransmit = self._read_data_integer(_frame.Data)
                else:
                    self._raise_exception("Illegal UA data")
        self._RSN = 0
        self._SSN = 0
        self._set_State(HDLCProtocolState.NRM)

    def _read_data_integer(self, s):
        _result = 0
        _length = s.read_byte()
        if _length == 1:
            _result = s.read_byte()
        elif _length == 2:
            _result = (s.read_byte() << 8) + s.read_byte()
        elif _length == 4:
            _result = ((s.read_byte() << 24) + (s.read_byte() << 16)
                       + (s.read_byte() << 8) + s.read_byte())
        return _result

    def disconnect(self):
        _frame = Frame()
        _frame.Kind = Frame.FrameKind.DISC
        _frame.SrcAddress = self.LocalAddress
        _frame.DstAddress = self.RemoteAddress
        _frame.PollFinal = True
        _response = self._send_receive_bytes(_frame.get_pdu_bytes())
        self._set_State(HDLCProtocolState.NDM)

    def poll(self, log=True):
        _frame = Frame()
        _frame.Kind = Frame.FrameKind.RR
        _frame.SrcAddress = self.LocalAddress
        _frame.DstAddress = self.RemoteAddress
        _frame.PollFinal = True
        _response = self._send_receive_bytes(_frame.get_pdu_bytes(), log)

    def send_receive(self, outData):
        _outFrame = Frame()
        _inFrame = Frame()
        _inData = MemoryStream()
        _sentQty = 0
        _remoteReady = True
        _done = False
        while True:
            _response = None
            if _remoteReady and _sentQty < len(outData):
                _outFrame.Kind = Frame.FrameKind.I
                _outFrame.SrcAddress = self.LocalAddress
                _outFrame.DstAddress = self.RemoteAddress
                _outFrame.RSequenceNr = self._RSN
                _outFrame.SSequenceNr = self._SSN
                _outFrame.PollFinal = True
                if _sentQty == 0:
                    _outFrame.Data = MemoryStream()
                    _outFrame.Data.write(HDLCProtocol._LLCRequestPrefix_, 0,
                                         len(HDLCProtocol._LLCRequestPrefix_))
                elif _outFrame.Data is not None:
                    _outFrame.Data.length = 0
                else:
                    _outFrame.Data = MemoryStream()
                while (_sentQty < len(outData)
                       and _outFrame.Data.length < self._maxInfoFieldLengthTransmit):
                    _outFrame.Data.write_byte(outData[_sentQty])
                    _sentQty += 1
                _outFrame.Segmented = (len(outData) - _sentQty) > 0
                if self._SSN == 7:
                    self._SSN = 0
                else:
                    self._SSN += 1
                _response = self._send_receive_bytes(_outFrame.get_pdu_bytes())
            else:
                _outFrame.Kind = Frame.FrameKind.RR
                _outFrame.Segmented = False
                _outFrame.SrcAddress = self.LocalAddress
                _outFrame.DstAddress = self.RemoteAddress
                _outFrame.RSequenceNr = self._RSN
                _outFrame.SSequenceNr = self._SSN
                _outFrame.PollFinal = True
                _outFrame.Data = None
                _response = self._send_receive_bytes(_outFrame.get_pdu_bytes())
            if _response.length == 0:
                self._raise_exception("no response")
            _inFrame.set_from_pdu_bytes(_response._buffer)
            _k = _inFrame.Kind
            if _k == Frame.FrameKind.I:
                if _sentQty < len(outData):
                    self._raise_exception("unexpected I frame")
                if _inFrame.SSequenceNr != self._RSN:
                    self._raise_exception("IS synch lost")
                if _inFrame.RSequenceNr != self._SSN:
                    self._raise_exception("IR synch lost")
                if self._RSN == 7:
                    self._RSN = 0
                else:
                    self._RSN += 1
                _inData.write(_inFrame.Data._buffer, 0, _inFrame.Data.length)
                _done = not _inFrame.Segmented
            elif _k == Frame.FrameKind.RR:
                if _inFrame.RSequenceNr != self._SSN:
                    self._raise_exception("RRR synch lost")
                _remoteReady = True
            elif _k == Frame.FrameKind.RNR:
                if _inFrame.RSequenceNr != self._SSN:
                    self._raise_exception("RNR synch lost")
                _remoteReady = False
            else:
                self._raise_exception("Unexpected frame kind")
            if _done:
                break
        if (_inData.length < 3
                or _inData._buffer[0] != HDLCProtocol._LLCResponsePrefix_[0]
                or _inData._buffer[1] != HDLCProtocol._LLCResponsePrefix_[1]
                or _inData._buffer[2] != HDLCProtocol._LLCResponsePrefix_[2]):
            self._raise_exception("LLC prefix missing in Response")
        _inData.erase(0, 3)
        return _inData
