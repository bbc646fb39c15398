// The market data simulator: serves MDQP queries and publishes MIRP
// multicast for a simulated market, so the library can be run end to end.
// See SimOptions for the command line and SimTruthWriter for the truth file.
#include <signal.h>

#include <cstdio>

#include "apps/korv_md_simulator/MdSimulator.h"
#include "apps/korv_md_simulator/SimOptions.h"

namespace {

void on_stop_signal(int)
{
    KORV::SIM::MdSimulator::request_stop();
}

}  // namespace

int main(int argc, char** argv)
{
    KORV::SIM::SimOptions options;
    int parsed = options.parse(argc, argv);
    if (parsed == 1) {
        fputs(KORV::SIM::SimOptions::usage_text(argv[0]).c_str(), stdout);
        return 0;
    }
    if (parsed != 0) {
        fprintf(stderr, "%s: %s\nTry '%s --help'.\n", argv[0], options.get_error().c_str(),
                argv[0]);
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A client that goes away must not end the server.
    signal(SIGPIPE, SIG_IGN);

    KORV::SIM::MdSimulator simulator(options);
    return simulator.run();
}
