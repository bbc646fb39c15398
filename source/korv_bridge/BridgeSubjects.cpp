#include "source/korv_bridge/BridgeSubjects.h"

#include <cstring>

namespace korv_bridge {

std::string instrument_subject(const std::string& prefix, unsigned topic_id,
                               const char* instrument_id, size_t id_size)
{
    std::string subject = marker_subject(prefix, topic_id) + ".";
    size_t length = strnlen(instrument_id, id_size);
    if (length == 0)
        return subject + "_";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(instrument_id[i]);
        bool fits = c > ' ' && c != '*' && c != '>' && c != 0x7f;
        subject += fits ? char(c) : '_';
    }
    // A dot would split the id into tokens; empty tokens are not allowed.
    for (size_t i = 0; i < subject.size(); ++i) {
        if (subject[i] == '.' && (i + 1 == subject.size() || subject[i + 1] == '.'))
            subject.insert(i + 1, "_");
    }
    return subject;
}

std::string marker_subject(const std::string& prefix, unsigned topic_id)
{
    return prefix + "." + std::to_string(topic_id);
}

std::string liveness_subject(const std::string& bridge_name)
{
    return "korv.bridge." + bridge_name + ".alive";
}

std::string all_subjects(const std::string& prefix)
{
    return prefix + ".>";
}

}  // namespace korv_bridge
