// The simulator's control socket as zelsim, or any other program of the user,
// talks to it: one connection's bytes, then the end of the stream. Every
// answer is "OK", "USAGE ..." or "ERROR ...", and the simulator keeps
// answering: a "status" after each input must still work.
#include "ControlPath.h"
#include "FuzzScratch.h"

#include <ZelSDK/ZelSDK.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string g_socketPath;

bool WellFormed(const std::string& reply) {
    return reply.rfind("OK\n", 0) == 0 || reply.rfind("USAGE ", 0) == 0 ||
           reply.rfind("ERROR ", 0) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cvl::fuzz::Scratch();
    setenv("ZELSIM_CAMERA", "standard", 1);
    if (ZelInitializeSDK() != ZEL_ERR_OK)
        cvl::fuzz::Fail("cannot initialise the SDK");
    std::string error;
    if (!zelsim::ControlSocketPath(g_socketPath, error))
        cvl::fuzz::Fail(error.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string reply;
    // The server gives a stalled client 2 s; far more is a hang.
    if (!cvl::fuzz::Converse(g_socketPath, data, size, reply, 20))
        cvl::fuzz::Fail("the control server kept a finished connection open");
    if (!WellFormed(reply))
        cvl::fuzz::Fail("a control answer is neither OK, USAGE nor ERROR");
    static const unsigned char status[] = "status\n";
    if (!cvl::fuzz::Converse(g_socketPath, status, sizeof status - 1, reply, 20) ||
        reply.rfind("OK\n", 0) != 0)
        cvl::fuzz::Fail("the control server stopped answering status");
    return 0;
}
