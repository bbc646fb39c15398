// The depth view on a real terminal against the simulator: runs
// scripts/depth-view-test on this build tree, which drives korv_depth_view in
// tmux and checks the screen against the simulator's truth. About 6 seconds;
// skipped without tmux or without the programs.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

// path without its last levels components.
std::string up(std::string path, int levels)
{
    for (int i = 0; i < levels; ++i)
        path.erase(path.rfind('/'));
    return path;
}

// The test executables live in the build tree's tests folder.
std::string build_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return up(std::string(path, n > 0 ? size_t(n) : 0), 2);
}

// Compilers get the sources by absolute path: tests/depthview/this file.
std::string source_dir()
{
    return up(__FILE__, 3);
}

}  // namespace

TEST(DepthViewScreen, ShowsWhatTheSimulatorPublished)
{
    std::string script = source_dir() + "/scripts/depth-view-test";
    std::string build = build_dir();
    char* argv[] = {const_cast<char*>(script.c_str()), const_cast<char*>(build.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0) << script;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "tmux or the programs are missing";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
