// korv_depth_view: a live depth ladder of chosen instruments of one topic in
// the terminal, drawn in place from what the library delivers.
//
// The library calls the store on its event-loop thread; only this thread
// touches the terminal. The library writes its diagnostics to standard
// output, so both standard streams go to the log file and curses draws on a
// duplicate of the terminal descriptor.
#include <curses.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/korv_depth_view/DepthStore.h"
#include "apps/korv_depth_view/DepthViewModel.h"
#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/KorvUserCounters.h"

using namespace BRAX::KORV_USER_API;

namespace {

const char* const g_log_file = "korv_depth_view.log";
// The simulator's defaults, so that the view runs against it unconfigured.
const char* const g_defaults[] = {
    "1001", "tcp://127.0.0.1:30007", "udpg://239.3.0.1:30001", "P01", "U01", "secret"};
constexpr int g_parameter_count = 6;
// How long the main thread waits for a key before it looks for new data.
constexpr int g_refresh_ms = 100;

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

void print_usage(FILE* out, const char* program)
{
    fprintf(out,
            "usage:\n%s [topic_id [mdqp_location [mirp_location [participant_id [user_id "
            "[password [instrument_id...]]]]]]]\n\n"
            "Missing parameters take the simulator's defaults:\n%s",
            program, program);
    for (const char* value : g_defaults)
        fprintf(out, " %s", value);
    fprintf(out,
            "\nWith instrument ids, shows only those, in that order; otherwise every instrument.\n"
            "Keys: n, Right or Down next; p, Left or Up previous; q quit. The library's log goes "
            "to %s.\n",
            g_log_file);
}

bool parse_topic_id(const char* text, int& topic_id)
{
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 32767)
        return false;
    topic_id = int(value);
    return true;
}

// Sends both standard streams to the log and returns a stream on the
// terminal for curses, or nullptr if either step fails.
FILE* divert_standard_streams()
{
    int terminal = dup(STDOUT_FILENO);
    int log = open(g_log_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (terminal < 0 || log < 0)
        return nullptr;
    fflush(stdout);
    fflush(stderr);
    if (dup2(log, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0)
        return nullptr;
    close(log);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return fdopen(terminal, "w");
}

void draw(const std::vector<std::string>& lines)
{
    erase();
    int rows = getmaxy(stdscr);
    int columns = getmaxx(stdscr);
    for (size_t row = 0; row < lines.size() && int(row) < rows; ++row)
        mvaddnstr(int(row), 0, lines[row].c_str(), columns);
    refresh();
}

// Draws until q or a signal; redraws when the store or the topic's counters
// changed, a key moved the selection or the terminal was resized.
void run_screen(KorvUserApi* api, int topic_id, const DepthStore& store, DepthViewModel& model)
{
    DepthSnapshot snapshot;
    KorvTopicCounters counters{};
    std::string status;
    draw(model.lines(snapshot, &counters));
    while (!g_stop) {
        int key = getch();
        bool changed = store.refresh(snapshot);
        if (get_topic_counters(api, topic_id, &counters) == 0) {
            std::string now = DepthViewModel::status_line(counters);
            changed = changed || now != status;
            status = now;
        }
        switch (key) {
            case 'q':
            case 'Q':
                return;
            case 'n':
            case KEY_RIGHT:
            case KEY_DOWN:
                model.next(snapshot);
                changed = true;
                break;
            case 'p':
            case KEY_LEFT:
            case KEY_UP:
                model.previous(snapshot);
                changed = true;
                break;
            case KEY_RESIZE:
                changed = true;
                break;
            default:
                break;
        }
        if (changed)
            draw(model.lines(snapshot, &counters));
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* program = argc > 0 ? argv[0] : "korv_depth_view";
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        print_usage(stdout, program);
        return 0;
    }
    const char* parameters[g_parameter_count];
    for (int i = 0; i < g_parameter_count; ++i)
        parameters[i] = i + 1 < argc ? argv[i + 1] : g_defaults[i];
    std::vector<std::string> instrument_ids;
    for (int i = g_parameter_count + 1; i < argc; ++i)
        instrument_ids.push_back(argv[i]);
    int topic_id = 0;
    if (!parse_topic_id(parameters[0], topic_id)) {
        fprintf(stderr, "%s: topic_id must be a number from 1 to 32767, not \"%s\"\n", program,
                parameters[0]);
        print_usage(stderr, program);
        return 2;
    }
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        fprintf(stderr, "%s: needs a terminal\n", program);
        return 2;
    }

    DepthStore store(instrument_ids);
    DepthViewModel model(topic_id, instrument_ids);
    KorvUserApi* api = KorvUserApi::create_instance();
    const int results[] = {api->set_log_file(g_log_file), api->reg_mdqp_location(parameters[1]),
                           api->reg_mirp_location(parameters[2]),
                           api->set_authentication(parameters[3], parameters[4], parameters[5]),
                           api->subscribe_topic(topic_id, &store)};
    for (int result : results) {
        if (result != 0) {
            fprintf(stderr, "%s: the library refused the configuration (%d)\n", program, result);
            api->close();
            return 2;
        }
    }
    FILE* terminal = divert_standard_streams();
    if (terminal == nullptr) {
        fprintf(stderr, "%s: cannot write the log file %s: %s\n", program, g_log_file,
                strerror(errno));
        api->close();
        return 1;
    }

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    SCREEN* screen = newterm(nullptr, terminal, stdin);
    if (screen == nullptr) {
        api->close();
        fprintf(terminal, "%s: cannot use the terminal (TERM=%s)\n", program,
                getenv("TERM") != nullptr ? getenv("TERM") : "");
        return 1;
    }
    set_term(screen);
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(g_refresh_ms);

    int status = 0;
    if (api->start()) {
        run_screen(api, topic_id, store, model);
    } else {
        status = 1;
    }
    endwin();
    // The store must outlive the event-loop thread that calls it.
    api->close();
    delscreen(screen);
    if (status != 0)
        fprintf(terminal, "%s: cannot start the library's event loop\n", program);
    fclose(terminal);
    return status;
}
