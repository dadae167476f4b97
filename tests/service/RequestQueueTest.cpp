#include "RequestQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<std::string> TakeAll(RequestQueue& queue) {
    std::vector<std::string> taken;
    while (!queue.Empty())
        taken.push_back(queue.Take());
    return taken;
}

TEST(RequestQueue, ArrivalOrderWhileNoProcessHasTwoWaiting) {
    RequestQueue queue;
    EXPECT_EQ(queue.Take(), "");
    // Three processes, each with one request waiting at a time, interleaved
    // with takes: exactly first in, first out.
    EXPECT_TRUE(queue.Add("1_StartStreaming", 101));
    EXPECT_TRUE(queue.Add("2_StartStreaming", 102));
    EXPECT_EQ(queue.Take(), "1_StartStreaming");
    EXPECT_TRUE(queue.Add("1_StopStreaming", 101));
    EXPECT_TRUE(queue.Add("3_plugin fps: 30", 103));
    EXPECT_EQ(TakeAll(queue), (std::vector<std::string>{"2_StartStreaming", "1_StopStreaming",
                                                        "3_plugin fps: 30"}));
}

TEST(RequestQueue, AFloodingProcessTakesTurnsWithTheOthersAndKeepsItsOwnOrder) {
    for (const bool newIdentifiers : {false, true}) {
        RequestQueue queue;
        for (int i = 0; i < 100; ++i) {
            const std::string id = newIdentifiers ? "f" + std::to_string(i) : "f";
            queue.Add(id + "_note " + std::to_string(i), 500);
        }
        queue.Add("7_StartStreaming", 700);
        queue.Add("8_StartStreaming", 800);
        // Each other process's request comes within a turn of each line ahead.
        const std::string first = queue.Take();
        EXPECT_EQ(first.substr(first.find('_')), "_note 0");
        EXPECT_EQ(queue.Take(), "7_StartStreaming");
        EXPECT_EQ(queue.Take(), "8_StartStreaming");
        // The flood's requests follow in their order.
        int next = 1;
        for (const std::string& request : TakeAll(queue)) {
            EXPECT_EQ(request.substr(request.find('_')), "_note " + std::to_string(next));
            ++next;
        }
        EXPECT_EQ(next, 100);
    }
}

TEST(RequestQueue, AFullLineDropsWhatALaterRequestOfTheSameSenderFollows) {
    RequestQueue queue;
    // A host that starts and stops faster than anyone takes, with a report
    // of another identifier among its first requests.
    ASSERT_TRUE(queue.Add("9_plugin fps: 30", 900));
    bool dropped = false;
    for (size_t i = 0; i < RequestQueue::kMaxPerLine + 40; ++i)
        dropped |= !queue.Add(i % 2 ? "5_StopStreaming" : "5_StartStreaming", 900);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(queue.Size(), RequestQueue::kMaxPerLine);
    const std::vector<std::string> taken = TakeAll(queue);
    // The one request of its identifier stayed, and so did the newest.
    EXPECT_EQ(taken.front(), "9_plugin fps: 30");
    EXPECT_EQ(taken.back(), "5_StopStreaming");
    for (size_t i = 1; i < taken.size(); ++i)
        EXPECT_NE(taken[i], taken[i - 1]) << "starts and stops still alternate at " << i;
}

// What a full line gives up first: notes (requests the controller only logs)
// that a later request of their sender identifier follows, then stream
// requests that a later one of the same identifier and command follows, then
// notes, and only then the oldest request. A client's last word and its
// stream requests stay while its notes pile up behind them.
TEST(RequestQueue, AFullLineGivesUpNotesBeforeStreamRequests) {
    {
        // A host's start followed by more frame-rate reports than a line holds.
        RequestQueue queue;
        ASSERT_TRUE(queue.Add("5_StartStreaming", 900));
        for (size_t i = 0; i < RequestQueue::kMaxPerLine + 40; ++i)
            queue.Add("5_plugin fps: " + std::to_string(i), 900);
        EXPECT_EQ(queue.Size(), RequestQueue::kMaxPerLine);
        const std::vector<std::string> taken = TakeAll(queue);
        EXPECT_EQ(taken.front(), "5_StartStreaming");
        EXPECT_EQ(taken.back(), "5_plugin fps: " + std::to_string(RequestQueue::kMaxPerLine + 39));
    }
    {
        // Its start and stop among a process's notes under ever new
        // identifiers: the notes go, oldest first, the stream requests stay.
        RequestQueue queue;
        ASSERT_TRUE(queue.Add("5_StartStreaming", 900));
        for (size_t i = 0; i < RequestQueue::kMaxPerLine + 40; ++i) {
            if (i == 100)
                queue.Add("5_StopStreaming", 900);
            queue.Add("n" + std::to_string(i) + "_note", 900);
        }
        EXPECT_EQ(queue.Size(), RequestQueue::kMaxPerLine);
        const std::vector<std::string> taken = TakeAll(queue);
        ASSERT_EQ(taken.size(), RequestQueue::kMaxPerLine);
        EXPECT_EQ(taken[0], "5_StartStreaming");
        EXPECT_EQ(std::count(taken.begin(), taken.end(), "5_StopStreaming"), 1);
        EXPECT_EQ(taken.back(), "n" + std::to_string(RequestQueue::kMaxPerLine + 39) + "_note");
    }
    {
        // Repeated commands of one identifier: the last one of each command
        // stays, in the order they came.
        RequestQueue queue;
        for (size_t i = 0; i < RequestQueue::kMaxPerLine; ++i) {
            queue.Add("5_StartStreaming", 900);
            queue.Add("5_StopStreaming", 900);
            queue.Add("5_note " + std::to_string(i), 900);
        }
        queue.Add("5_Close", 900);
        for (size_t i = 0; i < RequestQueue::kMaxPerLine; ++i)
            queue.Add("5_StartStreaming", 900);
        const std::vector<std::string> taken = TakeAll(queue);
        EXPECT_EQ(std::count(taken.begin(), taken.end(), "5_Close"), 1);
        EXPECT_EQ(taken.back(), "5_StartStreaming");
        auto stop = std::find(taken.begin(), taken.end(), "5_StopStreaming");
        auto close = std::find(taken.begin(), taken.end(), "5_Close");
        EXPECT_LT(stop, close) << "the last stop came before the close";
    }
}

TEST(RequestQueue, MemoryStaysBoundedAndAQuietProcessKeepsItsRequest) {
    RequestQueue queue;
    ASSERT_TRUE(queue.Add("1_StartStreaming", 1));
    // Many processes flooding, each under new identifiers: the queue's bound
    // holds, the longest lines give way, the quiet one's request stays.
    for (int round = 0; round < 300; ++round) {
        for (long process = 100; process < 120; ++process)
            queue.Add("f" + std::to_string(round) + "_note", process);
        ASSERT_LE(queue.Size(), RequestQueue::kMaxRequests);
    }
    EXPECT_EQ(queue.Size(), RequestQueue::kMaxRequests);
    EXPECT_EQ(queue.Take(), "1_StartStreaming");
    // Every flooding line kept its newest request.
    const std::vector<std::string> taken = TakeAll(queue);
    EXPECT_EQ(std::count(taken.begin(), taken.end(), "f299_note"), 20);
}

TEST(RequestQueue, WithoutAKnownProcessTheSenderIdentifierTellsClientsApart) {
    RequestQueue queue;
    for (int i = 0; i < 10; ++i)
        queue.Add("a_note " + std::to_string(i), -1);
    queue.Add("b_StartStreaming", -1);
    EXPECT_EQ(queue.Take(), "a_note 0");
    EXPECT_EQ(queue.Take(), "b_StartStreaming");
    // A text without "_" is its own identifier.
    queue.Add("Close", -1);
    EXPECT_EQ(queue.Take(), "a_note 1");
    EXPECT_EQ(queue.Take(), "Close");
}

} // namespace
