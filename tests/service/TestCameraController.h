#ifndef CVL_TESTS_SERVICE_TESTCAMERACONTROLLER_H
#define CVL_TESTS_SERVICE_TESTCAMERACONTROLLER_H

#include "CameraController.h"

#include <string>
#include <vector>

namespace cvl::test {
// The controller to register with a request listener under test. Only its
// address is used: the listener calls AddRequest, which the tests define to
// record the text, so the controller's own members (camera, threads) are
// never built.
CameraController* TestController();
// Every request text handed to CameraController::AddRequest, in order.
std::vector<std::string> ReceivedRequests();
// The sending process that AddRequest was given with each of them.
std::vector<long> RequestProcesses();
} // namespace cvl::test

#endif
