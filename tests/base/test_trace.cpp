#include "velta/source/base/Trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "velta/source/base/Fatal.h"

namespace {

// Every test leaves the trace on standard output, as the process found it.
class TraceOutput : public ::testing::Test {
protected:
    void TearDown() override { set_trace_output(stdout); }
};

std::string read_all(FILE* file)
{
    fflush(file);
    rewind(file);
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return text;
}

}  // namespace

TEST_F(TraceOutput, LinesGoToStandardOutputUntilSwitched)
{
    EXPECT_EQ(get_trace_output(), stdout);
    testing::internal::CaptureStdout();
    trace_printf("connect to %s:%d\n", "127.0.0.1", 30007);
    trace_flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "connect to 127.0.0.1:30007\n");
}

TEST_F(TraceOutput, SwitchedToAFileTheLinesGoThereOnly)
{
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(set_trace_output(file), stdout);
    testing::internal::CaptureStdout();
    trace_printf("qry_topic_gap [%u, %u)\n", 5u, 9u);
    trace_flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(set_trace_output(stdout), file);
    EXPECT_EQ(read_all(file), "qry_topic_gap [5, 9)\n");
    fclose(file);
}

TEST_F(TraceOutput, SwitchedOffNothingIsTracedButAFailureStillSpeaks)
{
    set_trace_output(nullptr);
    EXPECT_EQ(get_trace_output(), nullptr);
    testing::internal::CaptureStdout();
    trace_printf("TcpChannel::TcpChannel %p\n", static_cast<void*>(nullptr));
    trace_flush();
    runtime_error_report("bad location", 12, "/src/velta/source/protocol/ProtocolStack.cpp");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "RuntimeError:bad location in line 12 of file velta/source/protocol/ProtocolStack\n");
}
