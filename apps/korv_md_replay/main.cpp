// korv_md_replay: plays a capture file through the library's receive path,
// offline, and prints the test application's lines.
//
//   korv_md_replay [--topic ID]... [--group G]... [--speed X] [--verbose]
//                  [--progress|--no-progress] FILE
//   korv_md_replay --summary FILE
//   korv_md_replay --sim-market [--seed N] [--instruments N] [--depth N] ... FILE
//
// The query side is the file's own: its login answer, snapshots and gap
// replies, served by the replay component (see ReplayEngine). A file that
// holds none is refused unless --sim-market says to answer from the
// simulator's market instead. The handler's lines go to standard output,
// the library's own diagnostic lines to standard error with --verbose (else
// nowhere), a progress bar, the topics the replay cannot vouch for and a
// summary line to standard error. The exit status is 1 when a topic could
// not be replayed whole.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "apps/korv_md_replay/ReplayLineHandler.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimQuerySide.h"
#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayEngine.h"
#include "source/korv_replay/ReplaySummary.h"

namespace {

const char* const USAGE =
    "usage: %s [option...] FILE\n"
    "Plays a capture file (pcap or pcapng: of korv_md_capture, or of dumpcap/tcpdump with\n"
    "a live application's query session and multicast) through the library offline and\n"
    "prints the test application's lines. The file's own login answer, snapshots and gap\n"
    "replies answer the library's queries.\n"
    "\n"
    "  --summary        what the file holds (lines, topics, packet ranges, holes,\n"
    "                   snapshots, gap replies) and whether it replays without holes\n"
    "  --topic ID       replay this topic, repeatable (default: every topic of the file)\n"
    "  --group G:PORT   replay this multicast line, repeatable (default: every line)\n"
    "  --speed X        X times the recorded pace (default: as fast as possible)\n"
    "  --progress       a progress bar on standard error (default when it is a terminal)\n"
    "  --no-progress    no progress bar\n"
    "  --verbose        the library's diagnostic lines on standard error\n"
    "  --sim-market     for a file of the simulator that holds no query side: answer from\n"
    "                   the simulator's market, made with --seed N (1), --instruments N\n"
    "                   (10), --depth N (5) as in the captured run\n"
    "\n"
    "examples:\n"
    "%s --summary feed.pcapng\n"
    "%s --topic 1001 feed.pcapng > lines.txt\n";

// Between progress bar updates; the bar costs nothing between them.
constexpr double PROGRESS_SECONDS = 0.2;
// How long the library may take, after the last datagram, for what it
// still asks of the query side.
constexpr unsigned SETTLE_MS = 5000;

double monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct ReplayCommand {
    bool summary = false;
    bool sim_market = false;
    int progress = -1;  // -1: when standard error is a terminal
    bool verbose = false;
    std::string path;
    ReplayEngine::Options options;
    KORV::SIM::SimOptions market;
};

bool parse_number(const char* text, long low, long high, long& value)
{
    char* end = nullptr;
    value = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= low && value <= high;
}

int parse_command(int argc, char** argv, ReplayCommand& command, std::string& error)
{
    std::vector<const char*> market_args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h")
            return 1;
        if (arg == "--summary") {
            command.summary = true;
        } else if (arg == "--sim-market") {
            command.sim_market = true;
        } else if (arg == "--progress" || arg == "--no-progress") {
            command.progress = arg == "--progress";
        } else if (arg == "--verbose") {
            command.verbose = true;
        } else if (arg == "--speed" && has_value) {
            char* end = nullptr;
            command.options.speed = strtod(argv[++i], &end);
            if (*end != '\0' || !(command.options.speed > 0)) {
                error = "--speed needs a positive number";
                return -1;
            }
        } else if (arg == "--topic" && has_value) {
            long topic = 0;
            if (!parse_number(argv[++i], 1, 65535, topic)) {
                error = "--topic needs a topic id 1..65535";
                return -1;
            }
            command.options.topics.push_back(int(topic));
        } else if (arg == "--group" && has_value) {
            command.options.lines.push_back(argv[++i]);
        } else if (i == argc - 1 && arg.compare(0, 2, "--") != 0) {
            command.path = arg;
        } else if (arg.compare(0, 2, "--") == 0 && has_value) {
            // The simulator's market options, for --sim-market alone.
            market_args.push_back(argv[i]);
            market_args.push_back(argv[++i]);
        } else {
            error = "unexpected argument '" + arg + "'";
            return -1;
        }
    }
    if (command.path.empty()) {
        error = "no capture file given";
        return -1;
    }
    if (market_args.size() > 1 && !command.sim_market) {
        error = std::string("market options (") + market_args[1] +
                ") answer queries from the simulator's market: give --sim-market with them";
        return -1;
    }
    if (command.market.parse(int(market_args.size()), market_args.data()) != 0) {
        error = command.market.get_error();
        return -1;
    }
    return 0;
}

class ProgressBar {
public:
    ProgressBar(bool shown, size_t size) : m_shown(shown && size > 0), m_size(size) {}

    void update(size_t position, uint64_t datagrams, bool last = false)
    {
        if (!m_shown)
            return;
        double now = monotonic_seconds();
        if (!last && now - m_drawn < PROGRESS_SECONDS)
            return;
        m_drawn = now;
        constexpr int WIDTH = 40;
        int percent = int(100.0 * double(position) / double(m_size));
        percent = percent > 100 ? 100 : percent;
        char bar[WIDTH + 1];
        for (int i = 0; i < WIDTH; ++i)
            bar[i] = i < percent * WIDTH / 100 ? '#' : '.';
        bar[WIDTH] = '\0';
        fprintf(stderr, "\r[%s] %3d%% %llu datagrams", bar, percent, (unsigned long long)datagrams);
        if (last)
            fputc('\n', stderr);
        fflush(stderr);
    }

private:
    bool m_shown;
    size_t m_size;
    double m_drawn = 0;
};

// Handler lines on the real standard output, the library's printf lines
// on standard error or nowhere: the output is the same for every run.
FILE* split_output(bool verbose)
{
    FILE* lines = fdopen(dup(STDOUT_FILENO), "w");
    int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    fflush(stdout);
    dup2(sink, STDOUT_FILENO);
    close(sink);
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    ReplayCommand command;
    std::string error;
    int parsed = parse_command(argc, argv, command, error);
    if (parsed == 1) {
        printf(USAGE, argv[0], argv[0], argv[0]);
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "%s: %s\nTry '%s --help'.\n", argv[0], error.c_str(), argv[0]);
        return 2;
    }

    ReplayCapture capture;
    if (capture.load(command.path, error) != 0) {
        fprintf(stderr, "korv_md_replay: %s\n", error.c_str());
        return 1;
    }
    if (command.summary) {
        fputs(replay_summary(capture).c_str(), stdout);
        return 0;
    }

    FILE* lines = split_output(command.verbose);
    ReplayLineHandler handler(lines);
    ReplayEngine engine(capture, &handler, command.options);
    std::unique_ptr<KORV::SIM::SimQuerySide> market;
    if (command.sim_market) {
        market.reset(new KORV::SIM::SimQuerySide(engine.get_reactor(), command.market, capture,
                                                 command.options.topics));
        std::string location;
        if (market->start(location, error) != 0) {
            fprintf(stderr, "korv_md_replay: %s\n", error.c_str());
            return 1;
        }
        engine.set_query_server(location, command.market.m_participant_id, command.market.m_user_id,
                                command.market.m_password);
    }
    if (engine.start(error) != 0) {
        for (const std::string& report : engine.get_reports())
            fprintf(stderr, "korv_md_replay: %s\n", report.c_str());
        if (engine.get_reports().empty() || engine.get_reports().front() != error)
            fprintf(stderr, "korv_md_replay: %s\n", error.c_str());
        return 1;
    }
    ProgressBar progress(command.progress < 0 ? isatty(STDERR_FILENO) != 0 : command.progress != 0,
                         engine.get_size());
    const double started = monotonic_seconds();
    while (engine.step() == 1) {
        // At a recorded pace someone may be watching the lines.
        if (command.options.speed > 0)
            fflush(lines);
        if (command.options.speed > 0 || engine.get_datagrams() % 64 == 0)
            progress.update(engine.get_position(), engine.get_datagrams());
    }
    progress.update(engine.get_position(), engine.get_datagrams(), true);
    engine.finish(SETTLE_MS);
    double seconds = monotonic_seconds() - started;
    fflush(lines);
    for (const std::string& report : engine.get_reports())
        fprintf(stderr, "korv_md_replay: %s\n", report.c_str());
    fprintf(stderr,
            "korv_md_replay: datagrams %llu, bytes %llu, refused datagrams %llu, lines %llu, "
            "%.3f s, %.0f datagrams/s\n",
            (unsigned long long)engine.get_datagrams(), (unsigned long long)engine.get_bytes(),
            (unsigned long long)engine.get_refused(), (unsigned long long)handler.get_calls(),
            seconds, seconds > 0 ? double(engine.get_datagrams()) / seconds : 0.0);
    return engine.get_reports().empty() ? 0 : 1;
}
