// Internal: writes the library's live counters once a second to a text file
// that the Prometheus node exporter's text-file collector reads.
//
// The text goes to "<path>.tmp" and is renamed over the path, so a reader
// sees the last whole file or the one before it, never half of one. The
// writer lives on the reactor: constructed while the library is being set
// up, it writes first on the loop's first turn, then every INTERVAL ms from
// the reactor thread; it must go before the reactor does.
#pragma once

#include <string>

#include "source/korv_user/KorvUserApi.h"
#include "velta/source/task/Task.h"

class Reactor;
class TaskScheduler;

namespace KORV {
namespace USER {

class KorvUserCountersFile {
public:
    static constexpr unsigned INTERVAL = 1000;

    // Not owned: api and reactor must outlive the writer.
    KorvUserCountersFile(BRAX::KORV_USER_API::KorvUserApi* api, Reactor* reactor, const char* path);
    ~KorvUserCountersFile();
    KorvUserCountersFile(const KorvUserCountersFile&) = delete;
    KorvUserCountersFile& operator=(const KorvUserCountersFile&) = delete;

    // The file's text: every subscribed topic's counters, then every line's.
    static std::string text(BRAX::KORV_USER_API::KorvUserApi* api);

private:
    struct m_write_task_type : Task {
        explicit m_write_task_type(KorvUserCountersFile* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_write(); }
        KorvUserCountersFile* m_owner;
    };

    // Writes the file and arms the next write.
    void on_write();
    // 0, or the errno of the step that failed.
    int write_file(const std::string& text) const;

    BRAX::KORV_USER_API::KorvUserApi* m_api;
    std::string m_path;
    TaskScheduler* m_scheduler;
    m_write_task_type m_write_task;
    // A failing write is reported once, until one succeeds again.
    bool m_failure_reported;
};

}  // namespace USER
}  // namespace KORV
