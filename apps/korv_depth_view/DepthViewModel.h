// Internal to korv_depth_view: what the screen shows, as plain text lines,
// so that the layout is checked without a terminal.
#pragma once

#include <string>
#include <vector>

#include "apps/korv_depth_view/DepthStore.h"
#include "source/korv_user/KorvUserCounters.h"

// Holds which instrument is on the screen and lays out its depth ladder. The
// selection is kept by identifier, so that instruments arriving later do not
// move it.
class DepthViewModel {
public:
    // With instrument ids, shows those in the order given (before their data
    // arrives too); without, every instrument of the topic, sorted.
    DepthViewModel(int topic_id, std::vector<std::string> instrument_ids = {});

    // Moves to the next or previous instrument, wrapping around.
    void next(const DepthSnapshot& snapshot);
    void previous(const DepthSnapshot& snapshot);

    // The screen, top to bottom; with the topic's counters, a status line
    // of them above the keys.
    std::vector<std::string> lines(
        const DepthSnapshot& snapshot,
        const BRAX::KORV_USER_API::KorvTopicCounters* counters = nullptr) const;
    // The counters in one line: the book's packet number and its age, what
    // came and what went wrong, and the time the handler took.
    static std::string status_line(const BRAX::KORV_USER_API::KorvTopicCounters& counters);

private:
    std::vector<std::string> instrument_ids(const DepthSnapshot& snapshot) const;
    // The selected instrument's place in ids, 0 if it is not there.
    size_t selected_index(const std::vector<std::string>& ids) const;
    void move(const DepthSnapshot& snapshot, int step);

    int m_topic_id;
    std::vector<std::string> m_instrument_ids;
    std::string m_selected;
};
