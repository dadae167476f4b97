// The test programs' own g_logger (defined in ServiceTestLogger.cpp); what it
// wrote is read back with the helpers of ServiceLog.h.
#ifndef CVL_TESTS_SERVICE_SERVICETESTLOGGER_H
#define CVL_TESTS_SERVICE_SERVICETESTLOGGER_H

#include "ServiceLog.h"

#endif
