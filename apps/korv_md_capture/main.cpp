// korv_md_capture: records multicast groups and a query session of its own
// into one pcapng file that a replay needs nothing else for. See --help and
// the README's "Capture and replay"; the work is in source/korv_capture.
#include <signal.h>

#include <cstdio>
#include <string>

#include "source/korv_capture/CaptureOptions.h"
#include "source/korv_capture/CaptureText.h"
#include "source/korv_capture/MdCapture.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int)
{
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CaptureOptions options;
    std::string error;
    int parsed = options.parse(argc, argv, error);
    if (parsed == 1) {
        printf("%s", CaptureOptions::usage(argv[0]).c_str());
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "%s",
                capture_text::format(capture_text::USAGE_HINT, argv[0], error.c_str(), argv[0])
                    .c_str());
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    MdCapture capture(options);
    return capture.run(g_stop);
}
