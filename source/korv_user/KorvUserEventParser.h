// Internal: the decoders that apply a deciphered MIRP market event body to a
// topic's book. Used by the topic subscriber on its reactor thread.
//
// Events are applied one by one as they are decoded: an error stops the walk
// but leaves the events before it applied. Nothing reads or moves past the
// body view; a body that would need to ends with EC_FORMAT.
#pragma once

#include "velta/source/base/Packet.h"

struct MirpFieldHeader;

namespace KORV {
namespace USER {

class KorvUserTopic;

// A whole body: 0 (also for an empty one), EC_FORMAT when it does not go on
// with an instrument event header, or the first group's error.
int parse_snap_events(Packet& body, KorvUserTopic* topic);

// One instrument group, up to the next group header or the body's end; first
// is the header of the group's first field, already peeked off the body. An
// unknown field is skipped; the first one of a body is reported on standard
// output, and unknown_reported, shared by the body's groups, says it was.
int parse_instrument_event(Packet& body, const MirpFieldHeader& first, KorvUserTopic* topic,
                           bool& unknown_reported);

}  // namespace USER
}  // namespace KORV
