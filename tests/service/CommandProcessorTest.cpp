#include "CommandProcessor.h"

#include "ServiceTestLogger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using cvl::test::WaitFor;

// What the commands of one test did, in order.
struct Journal {
    std::mutex mutex;
    std::vector<int> ran;
    std::atomic<int> destroyed{0};
    std::vector<int> Ran() {
        std::lock_guard<std::mutex> lock(mutex);
        return ran;
    }
};

class RecordingCommand : public Command {
public:
    RecordingCommand(Journal& journal, int id, uint32_t result = 0)
        : Command(nullptr), m_journal(journal), m_id(id), m_result(result) {}
    ~RecordingCommand() override { ++m_journal.destroyed; }
    uint32_t execute() override {
        std::lock_guard<std::mutex> lock(m_journal.mutex);
        m_journal.ran.push_back(m_id);
        return m_result;
    }

protected:
    Journal& m_journal;

private:
    int m_id;
    uint32_t m_result;
};

// Holds the worker inside execute() until the test opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool Entered() {
        std::lock_guard<std::mutex> lock(mutex);
        return entered;
    }
};

class GateCommand : public RecordingCommand {
public:
    GateCommand(Journal& journal, Gate& gate) : RecordingCommand(journal, -1), m_gate(gate) {}
    uint32_t execute() override {
        std::unique_lock<std::mutex> lock(m_gate.mutex);
        m_gate.entered = true;
        m_gate.changed.wait(lock, [this] { return m_gate.open; });
        lock.unlock();
        return RecordingCommand::execute();
    }

private:
    Gate& m_gate;
};

TEST(CommandProcessor, BoundAppliesToDroppableCommandsOnlyAndLeavesNoGap) {
    Journal journal;
    Gate gate;
    CommandProcessor processor;
    processor.Add(new GateCommand(journal, gate), false);
    ASSERT_TRUE(WaitFor([&] { return gate.Entered(); }));

    for (int i = 0; i < 9; ++i)
        processor.Add(new RecordingCommand(journal, i), true);
    EXPECT_EQ(processor.GetQueueSize(), 9);
    processor.Add(new RecordingCommand(journal, 9), true); // 9 pending: queued
    EXPECT_EQ(processor.GetQueueSize(), 10);
    processor.Add(new RecordingCommand(journal, 100), true); // 10 pending: destroyed
    EXPECT_EQ(processor.GetQueueSize(), 10);
    EXPECT_EQ(journal.destroyed, 1);
    processor.Add(new RecordingCommand(journal, 10), false); // never refused
    processor.Add(new RecordingCommand(journal, 11), false);
    EXPECT_EQ(processor.GetQueueSize(), 12);

    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 13; }));
    const std::vector<int> expected = {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(journal.Ran(), expected);
    EXPECT_EQ(processor.GetQueueSize(), 0);
    EXPECT_EQ(processor.Retrieve(), nullptr);
}

// Commands queued with AddNext go ahead of the backlog, in their own order,
// and a ClearQueue starts the front over.
TEST(CommandProcessor, AddNextGoesAheadOfTheBacklogInItsOwnOrder) {
    Journal journal;
    Gate gate;
    CommandProcessor processor;
    processor.Add(new GateCommand(journal, gate), false);
    ASSERT_TRUE(WaitFor([&] { return gate.Entered(); }));
    for (int i = 0; i < 10; ++i)
        processor.Add(new RecordingCommand(journal, i), true);
    processor.AddNext(new RecordingCommand(journal, 100));
    processor.AddNext(new RecordingCommand(journal, 101));
    processor.Add(new RecordingCommand(journal, 10), false);
    processor.AddNext(new RecordingCommand(journal, 102));
    EXPECT_EQ(processor.GetQueueSize(), 14);
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 15; }));
    EXPECT_EQ(journal.Ran(),
              (std::vector<int>{-1, 100, 101, 102, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    Gate second;
    processor.Add(new GateCommand(journal, second), false);
    ASSERT_TRUE(WaitFor([&] { return second.Entered(); }));
    processor.AddNext(new RecordingCommand(journal, 103));
    processor.Add(new RecordingCommand(journal, 11), false);
    processor.ClearQueue();
    processor.Add(new RecordingCommand(journal, 12), false);
    processor.AddNext(new RecordingCommand(journal, 104));
    second.Open();
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 18; }));
    const std::vector<int> ran = journal.Ran();
    EXPECT_EQ(std::vector<int>(ran.begin() + 15, ran.end()), (std::vector<int>{-1, 104, 12}));
}

TEST(CommandProcessor, ClearQueueSparesTheRunningCommandAndFailuresAreNotRetried) {
    Journal journal;
    Gate gate;
    CommandProcessor processor;
    processor.Add(new GateCommand(journal, gate), false);
    ASSERT_TRUE(WaitFor([&] { return gate.Entered(); }));
    for (int i = 0; i < 5; ++i)
        processor.Add(new RecordingCommand(journal, i), false);
    processor.ClearQueue();
    EXPECT_EQ(processor.GetQueueSize(), 0);
    EXPECT_EQ(journal.destroyed, 5);

    processor.Add(new RecordingCommand(journal, 7, 129), false); // fails
    processor.Add(new RecordingCommand(journal, 8), false);
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 3; }));
    // A few more passes: the failed command must not come back.
    ASSERT_TRUE(WaitFor([&] { return journal.destroyed == 8; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(journal.Ran(), (std::vector<int>{-1, 7, 8}));
}

// A command may add to and clear its own processor (a download that stops
// streaming does both).
class ReentrantCommand : public RecordingCommand {
public:
    ReentrantCommand(Journal& journal, CommandProcessor& processor)
        : RecordingCommand(journal, 1), m_processor(processor) {}
    uint32_t execute() override {
        m_processor.Add(new RecordingCommand(m_journal, 98), false);
        m_processor.ClearQueue();
        m_processor.Add(new RecordingCommand(m_journal, 2), false);
        return RecordingCommand::execute();
    }

private:
    CommandProcessor& m_processor;
};

TEST(CommandProcessor, CommandsMayUseTheirProcessorAndAddsComeFromManyThreads) {
    Journal journal;
    CommandProcessor processor;
    processor.Add(new ReentrantCommand(journal, processor), false);
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 2; }));
    EXPECT_EQ(journal.Ran(), (std::vector<int>{1, 2}));

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                processor.Add(new RecordingCommand(journal, 1000 * (t + 1) + i), false);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(WaitFor([&] { return journal.Ran().size() == 102; }));
    std::vector<int> last(4, -1);
    for (int id : journal.Ran()) {
        if (id < 1000)
            continue;
        const int t = id / 1000 - 1;
        EXPECT_GT(id % 1000, last[t]); // each thread's commands keep their order
        last[t] = id % 1000;
    }
}

TEST(CommandProcessor, DestructionRunsNoPendingCommand) {
    Journal journal;
    Gate gate;
    auto processor = std::make_unique<CommandProcessor>();
    processor->Add(new GateCommand(journal, gate), false);
    ASSERT_TRUE(WaitFor([&] { return gate.Entered(); }));
    for (int i = 0; i < 4; ++i)
        processor->Add(new RecordingCommand(journal, i), false);

    CommandProcessor* raw = processor.get();
    std::thread destroyer([&] { processor.reset(); });
    // The destructor waits for the running command; open the gate only once
    // it has told the worker to stop.
    ASSERT_TRUE(WaitFor([&] { return !raw->KeepRunning(); }));
    gate.Open();
    destroyer.join();

    EXPECT_EQ(journal.Ran(), (std::vector<int>{-1}));
    EXPECT_EQ(journal.destroyed, 5);
    EXPECT_EQ(cvl::test::CountLogMessages("command processor started"), 1);
    EXPECT_EQ(cvl::test::CountLogMessages("command processor stopped"), 1);
}

} // namespace
