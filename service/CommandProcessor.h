// A serial queue of camera commands and the worker thread that runs them, one
// per 10 ms pass, in the order they were added. The processor owns every
// queued command; commands never run once the processor is being destroyed.
#ifndef CVL_SERVICE_COMMANDPROCESSOR_H
#define CVL_SERVICE_COMMANDPROCESSOR_H

#include "Command.h"

#include <pthread.h>

#include <deque>

class CommandProcessor {
public:
    CommandProcessor();
    ~CommandProcessor();

    CommandProcessor(const CommandProcessor&) = delete;
    CommandProcessor& operator=(const CommandProcessor&) = delete;

    // Takes ownership. A droppable command is destroyed instead of queued
    // when 10 or more commands are pending; others are always queued.
    void Add(Command* command, bool droppable);
    // Takes ownership and queues the command ahead of every pending command
    // queued with Add, behind those queued with AddNext before it (which
    // keep their order); never refused. A camera setting then waits for the
    // command that runs, not for a backlog of downloads of a slow camera.
    void AddNext(Command* command);
    // The oldest pending command, or null; the caller owns it.
    Command* Retrieve();
    // Destroys every pending command without running it; a command running
    // at the moment is not affected.
    void ClearQueue();
    int GetQueueSize();
    bool KeepRunning();
    // Ends the worker after the command it runs at the moment, and waits for
    // it. Pending commands stay queued; the destructor discards them.
    void Stop();

    static void* Thread(void* processor);

private:
    static constexpr size_t kMaxPendingDroppable = 10;
    static constexpr unsigned kPassMicroseconds = 10000;

    std::deque<Command*> m_commandQueue;
    // How many commands at the front of the queue came through AddNext.
    size_t m_nextCount = 0;
    pthread_mutex_t m_commandQueueMutex = PTHREAD_MUTEX_INITIALIZER;
    bool m_keepRunning = true;
    pthread_mutex_t m_keepRunningMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_t m_thread;
    bool m_threadStarted = false;
};

#endif
