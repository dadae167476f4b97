// The service's units log through g_logger, which the service program defines
// in its main unit. Test programs define it here instead, but build it only
// once the test main has pointed CVL_ROOT at the test's own installation: a
// logger built before main would fix the installation root of the whole
// process to "/". The storage carries the symbol g_logger so that the units
// under test reach it as the object they declare.
#include "ServiceTestLogger.h"

#include "CVLPaths.h"
#include "Logger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <new>

union TestLoggerStorage {
    TestLoggerStorage() {}
    ~TestLoggerStorage() {}
    Logger logger;
};

TestLoggerStorage g_testLoggerStorage __asm__("g_logger");

namespace {

class LoggerEnvironment : public testing::Environment {
public:
    void SetUp() override { new (&g_testLoggerStorage.logger) Logger(); }
    void TearDown() override { g_testLoggerStorage.logger.~Logger(); }
};

testing::Environment* const g_loggerEnvironment =
    testing::AddGlobalTestEnvironment(new LoggerEnvironment);

} // namespace
