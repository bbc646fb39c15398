// Internal: writes the library's live counters once a second to a text file
// that the Prometheus node exporter's text-file collector reads.
//
// The writer is a thread of its own, so that opening, writing and renaming a
// file never holds up the market data loop (a pinned, spinning loop least of
// all), and so that the file keeps coming while a handler holds the loop. It
// reads the counter cells, which any thread may read, through the public
// read functions. It starts with the library's loop and writes at once, then
// every INTERVAL ms until it is stopped.
//
// Each text goes to a temporary file created beside the path under a fresh
// name (never one that exists: a file or link planted there is not
// followed), then renamed over the path, so a reader sees the last whole file
// or the one before it, never half of one. The collector reads only names
// ending in ".prom", so it never reads a temporary file.
#pragma once

#include <string>
#include <vector>

#include "source/korv_user/KorvUserApi.h"
#include "velta/source/task/Condition.h"
#include "velta/source/task/Thread.h"

namespace KORV {
namespace USER {

class KorvUserCountersFile : public Thread {
public:
    static constexpr unsigned INTERVAL = 1000;

    // Not owned: api must outlive the writer. The file lists these topics
    // and every line of the API object.
    KorvUserCountersFile(BRAX::KORV_USER_API::KorvUserApi* api, std::vector<int> topic_ids,
                         std::string path);
    // Stops the thread.
    ~KorvUserCountersFile() override;
    KorvUserCountersFile(const KorvUserCountersFile&) = delete;
    KorvUserCountersFile& operator=(const KorvUserCountersFile&) = delete;

    // Whether a writer could create its temporary file beside path: 0, or
    // the errno of the failure (a folder that is missing or not writable).
    // Leaves nothing behind.
    static int check_folder(const std::string& path);
    // The file's text: the topics' counters, then every line's.
    static std::string text(BRAX::KORV_USER_API::KorvUserApi* api,
                            const std::vector<int>& topic_ids);

    // Ends the thread once its write in progress is done; returns when it
    // has ended. Any thread but the writer's.
    void stop();

private:
    void run() override;
    // 0, or the errno of the step that failed; no temporary file is left.
    int write_file(const std::string& text) const;

    BRAX::KORV_USER_API::KorvUserApi* m_api;
    std::vector<int> m_topic_ids;
    std::string m_path;
    Condition m_stop;
    // A failing write is reported once, until one succeeds again. The
    // writer's thread only.
    bool m_failure_reported;
};

}  // namespace USER
}  // namespace KORV
