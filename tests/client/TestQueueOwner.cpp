#include "TestQueueOwner.h"

#include "RequestText.h"

namespace cvl::test {

namespace {
TestQueueOwner* g_owner = nullptr;
std::mutex g_ownerMutex;
} // namespace

} // namespace cvl::test

// The listener's hand-over, routed to the owner that exists.
void CameraController::AddRequest(std::string request, long) {
    std::lock_guard<std::mutex> lock(cvl::test::g_ownerMutex);
    if (cvl::test::g_owner)
        cvl::test::g_owner->AddRequest(request);
}

// These tests drive stream requests only; a settings request finds no camera.
std::string CameraController::AnswerSettingsRequest(const std::string&) {
    return "error no camera connected\n";
}

namespace cvl::test {

TestQueueOwner::TestQueueOwner() {
    {
        std::lock_guard<std::mutex> lock(g_ownerMutex);
        g_owner = this;
    }
    m_thread = std::thread([this] { Run(); });
}

TestQueueOwner::~TestQueueOwner() {
    {
        std::lock_guard<std::mutex> lock(g_ownerMutex);
        g_owner = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
    DestroySenders();
}

CameraController* TestQueueOwner::Controller() {
    // Only the address is used: AddRequest above never touches the object.
    alignas(CameraController) static unsigned char storage[sizeof(CameraController)];
    return reinterpret_cast<CameraController*>(storage);
}

void TestQueueOwner::AddRequest(const std::string& request) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.push_back(request);
        m_requests.push_back(request);
    }
    m_changed.notify_all();
}

std::vector<std::string> TestQueueOwner::Requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

size_t TestQueueOwner::SenderCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_senders.size();
}

bool TestQueueOwner::SendFrame(const std::vector<unsigned char>& frame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        if (it->second->GetSendFailed())
            it = m_senders.erase(it);
        else
            ++it;
    }
    for (auto& entry : m_senders)
        entry.second->AddFrame(frame.data(), static_cast<int32_t>(frame.size()));
    return !m_senders.empty();
}

void TestQueueOwner::DestroySenders() {
    std::map<std::string, std::unique_ptr<FrameSender>> senders;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        senders.swap(m_senders);
    }
}

void TestQueueOwner::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_changed.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        if (m_stop)
            return;
        const std::string request = m_pending.front();
        m_pending.pop_front();
        Handle(request);
    }
}

// Runs with m_mutex held.
void TestQueueOwner::Handle(const std::string& request) {
    std::string id;
    std::string command;
    ParseRequestText(request, id, command);
    if (command == "StartStreaming") {
        if (!m_senders.count(id)) {
            auto sender = std::make_unique<FrameSender>(id);
            sender->Activate(true);
            m_senders[id] = std::move(sender);
        }
    } else if (command == "StartStreamingSandboxMode") {
        if (!m_senders.count("sandbox")) {
            auto sender = std::make_unique<FrameSender>("sandbox");
            sender->EnableSandboxMode(true);
            m_senders["sandbox"] = std::move(sender);
        }
    } else if (command == "StopStreaming") {
        m_senders.erase(id);
        m_senders.erase("sandbox");
    }
}

} // namespace cvl::test
