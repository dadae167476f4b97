#include "CommandProcessor.h"

#include "Logger.h"

#include <unistd.h>

CommandProcessor::CommandProcessor() : m_thread() {
    m_threadStarted = pthread_create(&m_thread, nullptr, &CommandProcessor::Thread, this) == 0;
    if (m_threadStarted)
        g_logger.Log("command processor started");
    else
        g_logger.Log("command processor could not start its thread");
}

CommandProcessor::~CommandProcessor() {
    Stop();
    g_logger.Log("command processor stopped");
    ClearQueue();
}

void CommandProcessor::Stop() {
    pthread_mutex_lock(&m_keepRunningMutex);
    m_keepRunning = false;
    pthread_mutex_unlock(&m_keepRunningMutex);
    if (m_threadStarted)
        pthread_join(m_thread, nullptr);
    m_threadStarted = false;
}

void CommandProcessor::Add(Command* command, bool droppable) {
    if (!command)
        return;
    pthread_mutex_lock(&m_commandQueueMutex);
    const bool refuse = droppable && m_commandQueue.size() >= kMaxPendingDroppable;
    if (!refuse)
        m_commandQueue.push_back(command);
    pthread_mutex_unlock(&m_commandQueueMutex);
    if (refuse)
        delete command;
}

void CommandProcessor::AddNext(Command* command) {
    if (!command)
        return;
    pthread_mutex_lock(&m_commandQueueMutex);
    m_commandQueue.insert(m_commandQueue.begin() + static_cast<long>(m_nextCount), command);
    ++m_nextCount;
    pthread_mutex_unlock(&m_commandQueueMutex);
}

Command* CommandProcessor::Retrieve() {
    Command* command = nullptr;
    pthread_mutex_lock(&m_commandQueueMutex);
    if (!m_commandQueue.empty()) {
        command = m_commandQueue.front();
        m_commandQueue.pop_front();
        if (m_nextCount > 0)
            --m_nextCount;
    }
    pthread_mutex_unlock(&m_commandQueueMutex);
    return command;
}

void CommandProcessor::ClearQueue() {
    std::deque<Command*> cleared;
    pthread_mutex_lock(&m_commandQueueMutex);
    cleared.swap(m_commandQueue);
    m_nextCount = 0;
    pthread_mutex_unlock(&m_commandQueueMutex);
    // Destroyed outside the lock: a command's destructor is not run under it.
    for (Command* command : cleared)
        delete command;
}

int CommandProcessor::GetQueueSize() {
    pthread_mutex_lock(&m_commandQueueMutex);
    const int size = static_cast<int>(m_commandQueue.size());
    pthread_mutex_unlock(&m_commandQueueMutex);
    return size;
}

bool CommandProcessor::KeepRunning() {
    pthread_mutex_lock(&m_keepRunningMutex);
    const bool keepRunning = m_keepRunning;
    pthread_mutex_unlock(&m_keepRunningMutex);
    return keepRunning;
}

void* CommandProcessor::Thread(void* processor) {
    CommandProcessor* self = static_cast<CommandProcessor*>(processor);
    while (self->KeepRunning()) {
        // execute() runs with no processor lock held, so a command may add to
        // or clear this same queue.
        if (Command* command = self->Retrieve()) {
            command->execute();
            delete command;
        }
        usleep(kPassMicroseconds);
    }
    return nullptr;
}
