#ifndef CVL_TESTS_SERVICE_TESTCAMERACONTROLLER_H
#define CVL_TESTS_SERVICE_TESTCAMERACONTROLLER_H

#include "CameraController.h"

#include <string>
#include <vector>

namespace cvl::test {
// Every request text handed to CameraController::AddRequest, in order.
std::vector<std::string> ReceivedRequests();
} // namespace cvl::test

#endif
