// Test helper: runs the project's own programs (simulator, test application)
// from the build tree as child processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace child_process {

// The build folder: test executables live in <build>/tests/.
inline std::string build_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe(path, n > 0 ? size_t(n) : 0);
    return exe.substr(0, exe.rfind('/', exe.rfind('/') - 1));
}

// Starts args[0] with the arguments; its standard output goes to out_path
// when one is given.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& out_path = "")
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!out_path.empty())
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Its exit status, or -1 when it did not end normally within the given
// seconds (it is then killed).
inline int wait_exit(pid_t pid, int seconds = 30)
{
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(50000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Waits until the file at path holds text (a child's "ready" line, say):
// a child started on a busy machine may take a while to listen. False when
// it did not within the given seconds.
inline bool wait_for_text(const std::string& path, const std::string& text, int seconds = 10)
{
    for (int i = 0; i < seconds * 20; ++i) {
        std::ifstream file(path);
        std::stringstream held;
        held << file.rdbuf();
        if (held.str().find(text) != std::string::npos)
            return true;
        usleep(50000);
    }
    return false;
}

}  // namespace child_process
