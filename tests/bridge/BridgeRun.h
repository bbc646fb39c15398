// Test helper: NATS servers started from the project's own config files, the
// simulator, the bridge and its consumer tool as child processes, and the
// comparison of a consumer's printed book with the simulator's truth.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/ChildProcess.h"
#include "tests/SimTruth.h"

namespace bridge_run {

using child_process::build_dir;
using child_process::spawn;
using child_process::wait_exit;

// The distribution's server; empty when it is not installed.
inline std::string nats_server()
{
    for (const char* path : {"/usr/sbin/nats-server", "/usr/bin/nats-server"}) {
        if (access(path, X_OK) == 0)
            return path;
    }
    return "";
}

// A fresh working folder for one test; the servers' stores go below it.
inline void enter_fresh_folder(const std::string& name)
{
    std::string command = "rm -rf '" + name + "'";
    ASSERT_EQ(system(command.c_str()), 0);
    ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
    ASSERT_EQ(chdir(name.c_str()), 0);
}

// nats-server with config/nats/<config>.conf, logging to <config>.log;
// listening on every address of the test's namespace with all_addresses.
inline pid_t start_server(const std::string& config, bool all_addresses = false)
{
    std::vector<std::string> args = {
        nats_server(), "-c", std::string(KORV_SOURCE_DIR) + "/config/nats/" + config + ".conf",
        "-l", config + ".log"};
    if (all_addresses) {
        args.push_back("-a");
        args.push_back("0.0.0.0");
    }
    return spawn(args);
}

// The two ends of the veth pair between the test's namespace and the other
// host's.
constexpr const char* THIS_HOST = "10.231.0.1";

inline std::string network_namespace(const std::string& pid)
{
    char link[256] = {};
    ssize_t n = readlink(("/proc/" + pid + "/ns/net").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, size_t(n)) : "";
}

// Runs args on another host: a network namespace of its own with only a
// loopback and its end of a veth pair (10.231.0.2), the other end here
// (THIS_HOST). Both go when the program ends.
inline pid_t start_on_other_host(const std::vector<std::string>& args, const std::string& out)
{
    std::vector<std::string> wrapped = {
        "/usr/bin/unshare",
        "-n",
        "/bin/sh",
        "-c",
        "while ! ip link show vB >/dev/null 2>&1; do sleep 0.05; done; "
        "ip link set lo up && ip addr add 10.231.0.2/24 dev vB && ip link set vB up && "
        "exec \"$@\"",
        "other-host"};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    pid_t pid = spawn(wrapped, out);
    // The pair's far end must go into the new namespace, not this one.
    const std::string here = network_namespace("self");
    for (int i = 0; i < 100 && network_namespace(std::to_string(pid)) == here; ++i)
        usleep(20000);
    const std::string command = "ip link add vA type veth peer name vB netns " +
                                std::to_string(pid) + " && ip addr add " + THIS_HOST +
                                "/24 dev vA && ip link set vA up";
    EXPECT_EQ(system(command.c_str()), 0);
    return pid;
}

inline bool listening(int port, int seconds)
{
    for (int i = 0; i < seconds * 20; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up)
            return true;
        usleep(50000);
    }
    return false;
}

// Ends a program the way an operator does, and waits for it.
inline int stop(pid_t pid)
{
    kill(pid, SIGTERM);
    return wait_exit(pid, 20);
}

// The instruments of every simulator run here.
constexpr size_t INSTRUMENTS = 50;

// Runs until stopped (the truth is written then), so that each step of a
// test may wait for the one before, however slowly a busy machine elects
// the cluster's leaders.
inline pid_t start_simulator()
{
    return spawn(
        {build_dir() + "/apps/korv_md_simulator", "--duration", "120", "--linger", "1",
         "--instruments", std::to_string(INSTRUMENTS), "--rate", "400", "--truth", "truth.txt"},
        "sim.txt");
}

inline pid_t start_bridge(const std::string& servers, const std::vector<std::string>& options,
                          const std::string& out)
{
    std::vector<std::string> args = {build_dir() + "/apps/korv_md_bridge/korv_md_bridge", "--nats",
                                     servers};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* arg :
         {"1001", "tcp://127.0.0.1:30007", "udpg://239.3.0.1:30001", "P01", "U01", "secret"})
        args.push_back(arg);
    return spawn(args, out);
}

inline std::vector<std::string> consumer_args(const std::string& servers,
                                              const std::vector<std::string>& options)
{
    std::vector<std::string> args = {build_dir() + "/apps/korv_md_bridge/korv_md_book", "--nats",
                                     servers};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

inline pid_t start_consumer(const std::string& servers, const std::vector<std::string>& options,
                            const std::string& out)
{
    return spawn(consumer_args(servers, options), out);
}

// Instrument id to the market line the simulator published last.
inline std::map<std::string, std::string> truth()
{
    std::map<std::string, std::string> want;
    for (const auto& entry : sim_truth::read_truth("truth.txt"))
        want[entry.first] = sim_truth::market_line(entry.second);
    return want;
}

// The consumer's printed book (its last line per instrument), once it equals
// want or the seconds have passed.
inline std::map<std::string, std::string> book_when_equal(
    const std::string& out, const std::map<std::string, std::string>& want, int seconds)
{
    std::map<std::string, std::string> got;
    for (int i = 0; i < seconds * 10; ++i) {
        got = sim_truth::last_application_lines(sim_truth::read_file(out));
        if (got == want)
            break;
        usleep(100000);
    }
    return got;
}

// Whether the consumer has printed every instrument within the seconds.
inline bool printed_all(const std::string& out, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (sim_truth::last_application_lines(sim_truth::read_file(out)).size() >= INSTRUMENTS)
            return true;
        usleep(100000);
    }
    return false;
}

// How many instruments of want the consumer's book lacks or shows otherwise
// (a count keeps a failure's report readable; the files stay for a look).
inline size_t differing(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& want)
{
    size_t count = 0;
    for (const auto& entry : want) {
        auto found = got.find(entry.first);
        count += found == got.end() || found->second != entry.second;
    }
    return count + (got.size() > want.size() ? got.size() - want.size() : 0);
}

inline size_t printed_differing(const std::string& out,
                                const std::map<std::string, std::string>& want)
{
    return differing(sim_truth::last_application_lines(sim_truth::read_file(out)), want);
}

}  // namespace bridge_run
