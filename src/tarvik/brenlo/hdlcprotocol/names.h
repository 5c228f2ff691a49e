// Every attribute, global and method name the module looks up, interned
// once.  Keeping them in one table makes the spelling of each (including the
// record's differing capitals) easy to check.
#pragma once

#include "python/ref.h"

namespace hdlc::names {

// Module globals: the companions and the class itself.
inline Id time{"time"};
inline Id Utils{"Utils"};
inline Id MemoryStream{"MemoryStream"};
inline Id HDLCProtocolState{"HDLCProtocolState"};
inline Id HDLCParameters{"HDLCParameters"};
inline Id Frame{"Frame"};
inline Id BrenloException{"BrenloException"};
inline Id BrenloExceptionKind{"BrenloExceptionKind"};
inline Id HDLCProtocol{"HDLCProtocol"};
inline Id module_name{"__name__"};

// Companion members.
inline Id FrameKind{"FrameKind"};
inline Id FrameAddress{"FrameAddress"};
inline Id SNRM{"SNRM"};
inline Id UA{"UA"};
inline Id DISC{"DISC"};
inline Id I{"I"};
inline Id RR{"RR"};
inline Id RNR{"RNR"};
inline Id NDM{"NDM"};
inline Id NRM{"NRM"};
inline Id Kind{"Kind"};
inline Id SrcAddress{"SrcAddress"};
inline Id DstAddress{"DstAddress"};
inline Id PollFinal{"PollFinal"};
inline Id RSequenceNr{"RSequenceNr"};
inline Id SSequenceNr{"SSequenceNr"};
inline Id Segmented{"Segmented"};
inline Id Data{"Data"};
inline Id get_pdu_bytes{"get_pdu_bytes"};
inline Id set_from_pdu_bytes{"set_from_pdu_bytes"};
inline Id length{"length"};
inline Id capacity{"capacity"};
inline Id position{"position"};
inline Id buffer{"_buffer"};
inline Id read_byte{"read_byte"};
inline Id write_byte{"write_byte"};
inline Id write{"write"};
inline Id read{"read"};
inline Id erase{"erase"};
inline Id sleep{"sleep"};
inline Id bytes_to_hex_string{"bytes_to_hex_string"};
inline Id str{"str"};
inline Id ExceptionKindFrame{"Frame"};

// Parameter record attributes, spelled as the record spells them.
inline Id ClientMACAddress{"ClientMACAddress"};
inline Id ServerUpperMACAddressValue{"ServerUpperMACAddressValue"};
inline Id ServerLowerMACAddressValue{"ServerLowerMACAddressValue"};
inline Id ServerAddressSize{"ServerAddressSize"};
inline Id SentStreamCallback{"SentStreamCallback"};
inline Id ReceivedStreamCallBack{"ReceivedStreamCallBack"};
inline Id StateChangeCallBack{"StateChangeCallBack"};
inline Id DiscToNDMTimeout{"DiscToNDMTimeout"};
inline Id InactivityTimeout{"InactivityTimeout"};

// Fields of the protocol object.
inline Id State_{"_State"};
inline Id IOStream_{"_IOStream"};
inline Id maxInfoFieldLengthTransmit_{"_maxInfoFieldLengthTransmit"};
inline Id maxInfoFieldLengthReceive_{"_maxInfoFieldLengthReceive"};
inline Id windowSizeTransmit_{"_windowSizeTransmit"};
inline Id windowSizeReceive_{"_windowSizeReceive"};
inline Id RSN_{"_RSN"};
inline Id SSN_{"_SSN"};
inline Id LocalAddress_{"_LocalAddress"};
inline Id RemoteAddress_{"_RemoteAddress"};
inline Id OnSentStream_{"_OnSentStream"};
inline Id OnReceivedStream_{"_OnReceivedStream"};
inline Id OnStateChanged_{"_OnStateChanged"};
inline Id DISCToNDMTimeout_{"_DISCToNDMTimeout"};

// Properties of the protocol object.
inline Id LocalAddress{"LocalAddress"};
inline Id RemoteAddress{"RemoteAddress"};
inline Id OnSentStream{"OnSentStream"};
inline Id OnReceivedStream{"OnReceivedStream"};
inline Id OnStateChanged{"OnStateChanged"};
inline Id State{"State"};

// Class constants.
inline Id DefaultWindowSize{"_DefaultWindowSize_"};
inline Id DefaultInfoFieldLength{"_DefaultInfoFieldLength_"};
inline Id LLCRequestPrefix{"_LLCRequestPrefix_"};
inline Id LLCResponsePrefix{"_LLCResponsePrefix_"};

// Methods the procedures call on the object, so that overrides are honoured.
inline Id method_send_receive_bytes{"_send_receive_bytes"};
inline Id method_set_State{"_set_State"};
inline Id method_raise_exception{"_raise_exception"};
inline Id method_read_data_integer{"_read_data_integer"};

}  // namespace hdlc::names
