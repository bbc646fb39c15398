// Internal: the instrument event header that opens each instrument group of
// a MIRP body; the events that follow it apply to this instrument.
#pragma once

#include <cstdint>

namespace KORV {
namespace USER {

struct InstrumentEventContext {
    int32_t InstrumentNo;  // index of the instrument in the topic's book
    int32_t HeaderAttr1;   // carried, not used by the receiver
};

}  // namespace USER
}  // namespace KORV
