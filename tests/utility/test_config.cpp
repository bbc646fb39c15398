#include "velta/source/utility/Config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "velta/source/base/Log.h"
#include "velta/source/base/NullLogger.h"

namespace {

struct CapturingLogger : Logger {
    void output(const char* line) override { m_lines.push_back(line); }
    std::vector<std::string> m_lines;
};

// A temporary INI file with the given text, parsed into config.
int parse_text(const std::string& text, Config& config)
{
    char path[] = "/tmp/config_test_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    int result = parse_ini_file(path, config);
    unlink(path);
    return result;
}

}  // namespace

TEST(Config, SetAndGetItems)
{
    Config config{{"a", "1"}, {"b", "two"}, {"a", "3"}};
    EXPECT_STREQ(config["a"].as_string(), "3");
    EXPECT_STREQ(config.get_item("b").m_key, "b");
    config.set_item("n", -42);
    EXPECT_STREQ(config["n"].as_string(), "-42");
    EXPECT_EQ(config["n"].as_int(), -42);
}

TEST(Config, AbsentKeyGivesTheNullItem)
{
    Config config;
    const ConfigItem& item = config["missing"];
    EXPECT_EQ(&item, &Config::NULL_ITEM);
    EXPECT_EQ(item.m_key, nullptr);
    EXPECT_EQ(item.as_string(), nullptr);
    EXPECT_EQ(item.as_int(), 0);
}

TEST(Config, StoreKeepsItsOwnCopies)
{
    Config config;
    std::string key = "key", value = "value";
    config.set_item(key.c_str(), value.c_str());
    key[0] = 'X';
    value[0] = 'X';
    EXPECT_STREQ(config["key"].as_string(), "value");
    std::string large(40000, 'L');  // more than one node of the byte store
    config.set_item("large", large.c_str());
    EXPECT_EQ(config["large"].as_string(), large);
}

TEST(ParseIniFile, KeysAndValuesSplitAtTheFirstEqualsSign)
{
    Config config;
    ASSERT_EQ(parse_text("host=a\r\nhost=b\nurl=x=y\nname\n# comment=1\n=lead\n\n\r\n"
                         "name2 = x\n",
                         config),
              0);
    EXPECT_STREQ(config["host"].as_string(), "b");
    EXPECT_STREQ(config["url"].as_string(), "x=y");
    EXPECT_STREQ(config["name"].as_string(), "");
    EXPECT_EQ(config.get_item("# comment").m_key, nullptr);
    EXPECT_STREQ(config["lead"].as_string(), "");
    EXPECT_STREQ(config["name2 "].as_string(), " x");
}

TEST(ParseIniFile, LongLinesArriveInPiecesOf127Characters)
{
    Config config;
    std::string line = "k=" + std::string(125, 'v') + "tail=end\n";
    ASSERT_EQ(parse_text(line, config), 0);
    EXPECT_EQ(config["k"].as_string(), std::string(125, 'v'));
    EXPECT_STREQ(config["tail"].as_string(), "end");
}

TEST(ParseIniFile, UnopenableFileReportsEnvError)
{
    CapturingLogger logger;
    reg_logger(LOG_EVENT_SLOT, &logger, 6);
    Config config{{"kept", "1"}};
    int result = parse_ini_file("/nonexistent/dir/file.ini", config);
    reg_logger(LOG_EVENT_SLOT, &NullLogger::m_instance, 0);
    EXPECT_EQ(result, -9);
    ASSERT_EQ(logger.m_lines.size(), 1u);
    EXPECT_EQ(logger.m_lines[0],
              "event EnvError 2 can not open config file /nonexistent/dir/file.ini");
    EXPECT_STREQ(config["kept"].as_string(), "1");
}
