// korv_md_replay: plays a capture file through the library's receive path,
// offline, and prints the test application's lines for one topic.
//
//   korv_md_replay [--speed X] [--progress|--no-progress] [--verbose]
//                  [simulator option...] FILE
//
// The query side is the simulator's, in this process; its market options
// (--topic, --seed, --instruments, --depth, credentials) must be those of
// the run that was captured. Its snapshot claims the packet before the
// topic's first one in the file, so a capture that starts live replays
// from there on (see OfflineReplay). The handler's lines go to standard output, the
// library's own diagnostic lines to standard error with --verbose (else
// nowhere), a progress bar and a summary line to standard error.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/korv_md_replay/ReplayLineHandler.h"
#include "apps/korv_md_replay/ReplaySession.h"
#include "apps/korv_md_simulator/SimOptions.h"

namespace {

const char* const USAGE =
    "usage: %s [--speed X] [--progress|--no-progress] [--verbose] [simulator option...] FILE\n"
    "Plays the MIRP datagrams of a capture file through the library offline and prints\n"
    "the test application's lines for one topic.\n"
    "\n"
    "  --speed X        X times the recorded pace (default: as fast as possible)\n"
    "  --progress       a progress bar on standard error (default when it is a terminal)\n"
    "  --no-progress    no progress bar\n"
    "  --verbose        the library's diagnostic lines on standard error\n"
    "Simulator options make the query side that answers the snapshot; give those of\n"
    "the captured run: --topic ID (1001), --seed N (1), --instruments N (10), --depth N (5),\n"
    "--participant, --user, --password (see korv_md_simulator --help).\n"
    "\n"
    "example:\n"
    "%s --topic 1001 --seed 1 feed.pcap > lines.txt\n";

// Between progress bar updates; the bar costs nothing between them.
constexpr double PROGRESS_SECONDS = 0.2;
double monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct ReplayCommand {
    double speed = 0;   // 0: full speed
    int progress = -1;  // -1: when standard error is a terminal
    bool verbose = false;
    std::string path;
    KORV::SIM::SimOptions market;
};

int parse_command(int argc, char** argv, ReplayCommand& command, std::string& error)
{
    std::vector<const char*> market_args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return 1;
        if (arg == "--speed") {
            char* end = nullptr;
            command.speed = i + 1 < argc ? strtod(argv[++i], &end) : 0;
            if (end == nullptr || *end != '\0' || !(command.speed > 0)) {
                error = "--speed needs a positive number";
                return -1;
            }
        } else if (arg == "--progress" || arg == "--no-progress") {
            command.progress = arg == "--progress";
        } else if (arg == "--verbose") {
            command.verbose = true;
        } else if (i == argc - 1 && arg.compare(0, 2, "--") != 0) {
            command.path = arg;
        } else {
            market_args.push_back(argv[i]);
        }
    }
    if (command.path.empty()) {
        error = "no capture file given";
        return -1;
    }
    if (command.market.parse(int(market_args.size()), market_args.data()) != 0) {
        error = command.market.get_error();
        return -1;
    }
    if (command.market.m_topics.size() != 1) {
        error = "give one --topic to replay";
        return -1;
    }
    return 0;
}

class ProgressBar {
public:
    ProgressBar(bool shown, long size) : m_shown(shown && size > 0), m_size(size) {}

    void update(long position, uint64_t datagrams, bool last = false)
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
    long m_size;
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
        printf(USAGE, argv[0], argv[0]);
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "%s: %s\nTry '%s --help'.\n", argv[0], error.c_str(), argv[0]);
        return 2;
    }

    FILE* lines = split_output(command.verbose);
    ReplayLineHandler handler(lines);
    ReplaySession session(command.market, &handler, command.speed);
    if (session.open(command.path) != 0) {
        fprintf(stderr, "korv_md_replay: %s\n", session.get_error().c_str());
        return 1;
    }
    const PcapDatagramReader& reader = session.get_reader();
    ProgressBar progress(command.progress < 0 ? isatty(STDERR_FILENO) != 0 : command.progress != 0,
                         reader.get_size());
    const double started = monotonic_seconds();
    int result;
    while ((result = session.step()) == 1) {
        // At a recorded pace someone may be watching the lines.
        if (command.speed > 0)
            fflush(lines);
        if (command.speed > 0 || session.get_datagrams() % 64 == 0)
            progress.update(reader.get_position(), session.get_datagrams());
    }
    uint64_t datagrams = session.get_datagrams();
    uint64_t bytes = session.get_bytes();
    progress.update(reader.get_position(), datagrams, true);
    bool settled = session.finish(2000);
    double seconds = monotonic_seconds() - started;
    fflush(lines);
    fprintf(stderr,
            "korv_md_replay: datagrams %llu, bytes %llu, skipped frames %llu, refused datagrams "
            "%llu, lines %llu, %.3f s, %.0f datagrams/s%s\n",
            (unsigned long long)datagrams, (unsigned long long)bytes,
            (unsigned long long)reader.get_skipped(),
            (unsigned long long)session.get_replay().get_refused(),
            (unsigned long long)handler.get_calls(), seconds,
            seconds > 0 ? double(datagrams) / seconds : 0.0,
            settled ? "" : ", ended with packets missing");
    if (result < 0) {
        fprintf(stderr, "korv_md_replay: %s\n", session.get_error().c_str());
        return 1;
    }
    return 0;
}
