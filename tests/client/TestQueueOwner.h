// Stands in for the service's camera controller in the end-to-end tests: the
// request listener hands it every request, and a worker thread of its own
// acts on them with real frame senders, one per client stream, as the
// controller does (port streams by sender identifier, one "sandbox" sender
// for sandbox streams). Frames given to SendFrame go to every sender.
#ifndef CVL_TESTS_CLIENT_TESTQUEUEOWNER_H
#define CVL_TESTS_CLIENT_TESTQUEUEOWNER_H

#include "CameraController.h"
#include "FrameSender.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvl::test {

class TestQueueOwner {
public:
    TestQueueOwner();
    ~TestQueueOwner();

    // The controller address to register with the request listener.
    static CameraController* Controller();

    void AddRequest(const std::string& request);
    // Every request received so far, in order.
    std::vector<std::string> Requests();
    // The number of senders that exist now.
    size_t SenderCount();
    // Queues a copy of the frame at every sender; senders whose delivery
    // failed are destroyed first. False when no sender exists.
    bool SendFrame(const std::vector<unsigned char>& frame);
    // Destroys every sender, as a service that ends does.
    void DestroySenders();

private:
    void Run();
    void Handle(const std::string& request);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_pending;
    std::vector<std::string> m_requests;
    std::map<std::string, std::unique_ptr<FrameSender>> m_senders;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace cvl::test

#endif
