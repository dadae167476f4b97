#include "Logger.h"

#include "CVLPaths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string LogFile() {
    return CVLResolvePath(CVL_PATH_LOG);
}

std::string ReadLog() {
    std::string contents;
    cvl::test::ReadFile(LogFile(), contents);
    return contents;
}

std::string UtcStamp(time_t when) {
    char text[32];
    struct tm parts;
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", gmtime_r(&when, &parts));
    return text;
}

TEST(Logger, WritesStampedLinesInUtcAndTruncatesAtStart) {
    ASSERT_TRUE(cvl::test::WriteFile(LogFile(), "an earlier run\n"));
    setenv("TZ", "Pacific/Kiritimati", 1); // UTC+14: a local stamp would differ
    tzset();
    {
        Logger logger;
        const time_t before = time(nullptr);
        logger.Log("cvl service done");
        logger.Log("");
        logger.Log("first\nsecond\n");
        const time_t after = time(nullptr);

        // Each line is on disk before Log returns.
        const std::string contents = ReadLog();
        EXPECT_EQ(contents.find("an earlier run"), std::string::npos);
        const std::vector<std::string> lines = cvl::test::SplitLines(contents);
        ASSERT_EQ(lines.size(), 5u) << contents;
        const char* rest[] = {" cvl service done", " ", " first"};
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(lines[i].size(), 19 + std::string(rest[i]).size()) << lines[i];
            const std::string stamp = lines[i].substr(0, 19);
            EXPECT_GE(stamp, UtcStamp(before));
            EXPECT_LE(stamp, UtcStamp(after));
            EXPECT_EQ(lines[i].substr(19), rest[i]);
        }
        EXPECT_EQ(lines[3], "second");
        EXPECT_EQ(lines[4], "");
        EXPECT_EQ(contents.back(), '\n');
    }
    Logger second;
    EXPECT_EQ(ReadLog(), "");
}

TEST(Logger, ASecondLoggerLeavesALogInUseAlone) {
    Logger first;
    first.Log("first run");
    EXPECT_FALSE(first.InUse());
    {
        Logger second;
        EXPECT_TRUE(second.InUse());
        second.Log("second run");
    }
    first.Log("still first");
    const std::vector<std::string> lines = cvl::test::SplitLines(ReadLog());
    ASSERT_EQ(lines.size(), 2u) << ReadLog();
    EXPECT_EQ(lines[0].substr(20), "first run");
    EXPECT_EQ(lines[1].substr(20), "still first");
}

TEST(Logger, MissingFolderMeansNoLogAndNoOtherChange) {
    const std::string resources = CVLResolvePath(CVL_PATH_RESOURCES);
    ASSERT_EQ(cvl::test::RunCommand("rm -rf '" + resources + "'"), 0);
    {
        Logger logger;
        logger.Log("nowhere to go");
    }
    EXPECT_FALSE(cvl::test::FileExists(resources));
}

TEST(Logger, ConcurrentLinesNeverInterleave) {
    Logger logger;
    constexpr int kThreads = 6;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            const std::string filler(200 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                logger.Log("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                           filler);
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    const std::vector<std::string> lines = cvl::test::SplitLines(ReadLog());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d thread (\\d) line (\\d+) "
                          "([a-z]+)");
    for (const std::string& text : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text.substr(0, 80);
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++); // each thread's lines keep their order
        EXPECT_EQ(match[3].str(), std::string(200 + t * 37, static_cast<char>('a' + t)));
    }
}

} // namespace
