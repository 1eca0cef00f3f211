// Decoder of the power unit's GOOSE replies (PowerRequestReply, ShutdownRequestReply)
// into the publisher's reply records. Bounded: it never reads past the given length,
// and a refused reply changes nothing in the object.
#pragma once

#include <cstdint>

#include "goose_HW.h"

// BER length at buff[index] (short form or 0x81-0x84): position after it, the value
// in *length; -1 for the indefinite form 0x80, a longer form or a null argument.
// Reads at most 5 bytes; the bounded decoder checks room before calling it.
int goose_HW_decode_length(const uint8_t *buff, int index, int *length);

// buff at the goosePdu, length its size. 0 after a reply was decoded; -1 null
// object; -6 not a goosePdu; -7 a length that does not match, runs past the end or
// has an unsupported form, or a header text of 128 characters or more; -8 no entry
// count or no allData; -9 not a known reply (goID or entry count); -7 also for a
// reply entry that runs past allData or is shorter than its type.
// Kept for its callers to come: no reply frame is read yet.
int goose_HW_decode_APDU(goose_HW_t *dev, const uint8_t *buff, int length);
// The allData content of a reply into ack. 0; -1 null argument; -7 an entry that
// runs past length or is too short for its type (ack then unchanged).
int goose_HW_decode_PowerRequestResult(goose_HW_t *dev, const uint8_t *buff, int length,
                                       PowerReply_t *ack);
int goose_HW_decode_ShutdownRequestResult(goose_HW_t *dev, const uint8_t *buff, int length,
                                          ShutdownReply_t *ack);
