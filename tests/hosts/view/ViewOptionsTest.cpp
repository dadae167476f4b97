#include "ViewOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cvl::view;

TEST(ViewOptions, ParsesEveryOptionAndRefusesBadValues) {
    ViewOptions options;
    std::string error;
    ASSERT_TRUE(ParseViewOptions({}, options, error));
    EXPECT_EQ(options.seconds, 5.0);
    EXPECT_EQ(options.rate, 30);
    EXPECT_EQ(options.mode, ViewOptions::Mode::Port);

    ASSERT_TRUE(ParseViewOptions({"--seconds", "1.5", "--rate=25", "--mode", "sandbox",
                                  "--start-sandbox", "--out", "a.mjpeg", "--snapshot=s.jpg",
                                  "--json", "--json-file", "j.json", "--quiet"},
                                 options, error))
        << error;
    EXPECT_EQ(options.seconds, 1.5);
    EXPECT_EQ(options.rate, 25);
    EXPECT_EQ(options.mode, ViewOptions::Mode::Sandbox);
    EXPECT_TRUE(options.startSandbox && options.json && options.quiet);
    EXPECT_EQ(options.outPath, "a.mjpeg");
    EXPECT_EQ(options.snapshotPath, "s.jpg");
    EXPECT_EQ(options.jsonPath, "j.json");

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--rate", "0"},
                                               {"--rate", "1001"},
                                               {"--rate", "2x"},
                                               {"--rate", "-3"},
                                               {"--seconds", "-1"},
                                               {"--seconds", "nan"},
                                               {"--seconds", "inf"},
                                               {"--seconds"},
                                               {"--mode", "file"},
                                               {"--out="},
                                               {"--json=yes"},
                                               {"--frobnicate"}}) {
        ViewOptions parsed;
        error.clear();
        EXPECT_FALSE(ParseViewOptions(bad, parsed, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
