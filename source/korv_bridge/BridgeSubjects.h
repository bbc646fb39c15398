// Internal to the bridge and its consumers: the NATS subjects.
//
//   <prefix>.<topic>.<instrument>   one instrument's state (kept last per subject)
//   <prefix>.<topic>                the topic's pass marker (kept last too)
//   korv.bridge.<name>.alive        liveness and counters, not stored
//
// A marker has one token fewer than any instrument subject, so the two can
// never meet. Characters a subject token may not hold (space, '*', '>',
// control characters) become '_' in the subject; the record keeps the true
// instrument id.
#pragma once

#include <cstddef>
#include <string>

namespace korv_bridge {

constexpr const char* DEFAULT_SUBJECT_PREFIX = "korv.md";

std::string instrument_subject(const std::string& prefix, unsigned topic_id,
                               const char* instrument_id, size_t id_size);
std::string marker_subject(const std::string& prefix, unsigned topic_id);
std::string liveness_subject(const std::string& bridge_name);
// Every subject of the topics under prefix, for a consumer's filter.
std::string all_subjects(const std::string& prefix);

}  // namespace korv_bridge
