#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

TEST(CFObjects, RetainAndReleaseCountAcrossThreads) {
    const UInt8 bytes[] = {1, 2, 3};
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, bytes, 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([data] {
            for (int i = 0; i < 10000; ++i) {
                CFRetain(data);
                CFRelease(data);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(CFGetRetainCount(data), 1);
    CFRelease(data);
    CFRelease(nullptr); // ignored, not a crash
}

TEST(CFObjects, DataCopiesItsBytes) {
    UInt8 bytes[] = {9, 8, 7, 6};
    CFDataRef data = CFDataCreate(nullptr, bytes, 4);
    bytes[0] = 0;
    ASSERT_EQ(CFDataGetLength(data), 4);
    EXPECT_EQ(CFDataGetBytePtr(data)[0], 9);
    CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
    EXPECT_EQ(CFDataGetLength(empty), 0);
    EXPECT_EQ(CFDataCreate(nullptr, bytes, -1), nullptr);
    CFRelease(data);
    CFRelease(empty);
}

TEST(CFObjects, StringsInTheThreeEncodings) {
    CFStringRef ascii =
        CFStringCreateWithCString(nullptr, "com.example.Request", kCFStringEncodingASCII);
    ASSERT_NE(ascii, nullptr);
    EXPECT_EQ(CFStringGetLength(ascii), 19);
    char buffer[64];
    ASSERT_TRUE(CFStringGetCString(ascii, buffer, sizeof buffer, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "com.example.Request");
    EXPECT_FALSE(CFStringGetCString(ascii, buffer, 5, kCFStringEncodingASCII)); // too small

    // Mac Roman 0x8A is a-diaeresis, 0xDB the euro sign.
    CFStringRef roman = CFStringCreateWithCString(nullptr, "\x8A\xDB", kCFStringEncodingMacRoman);
    ASSERT_NE(roman, nullptr);
    EXPECT_EQ(CFStringGetLength(roman), 2);
    ASSERT_TRUE(CFStringGetCString(roman, buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "\xC3\xA4\xE2\x82\xAC");
    ASSERT_TRUE(CFStringGetCString(roman, buffer, sizeof buffer, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "\x8A\xDB");
    EXPECT_FALSE(CFStringGetCString(roman, buffer, sizeof buffer, kCFStringEncodingASCII));

    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3", kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingASCII), nullptr);
    CFStringRef utf8 =
        CFStringCreateWithCString(nullptr, "\xF0\x9F\x98\x80", kCFStringEncodingUTF8);
    EXPECT_EQ(CFStringGetLength(utf8), 2); // one surrogate pair
    EXPECT_TRUE(CFEqual(CFSTR("com.example.Request"), ascii));
    CFRelease(ascii);
    CFRelease(roman);
    CFRelease(utf8);
}

TEST(CFObjects, UuidsAreRandomVersion4) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        CFUUIDRef uuid = CFUUIDCreate(kCFAllocatorDefault);
        CFUUIDBytes b = CFUUIDGetUUIDBytes(uuid);
        EXPECT_EQ(b.byte6 >> 4, 4);
        EXPECT_EQ(b.byte8 >> 6, 2);
        seen.insert(std::string(reinterpret_cast<const char*>(&b), sizeof b));
        CFRelease(uuid);
    }
    EXPECT_EQ(seen.size(), 200u);
}
