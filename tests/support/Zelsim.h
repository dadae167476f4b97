// Steering the simulated camera of the process that runs the SDK under the
// test's installation and runtime folder (the service, or the test itself).
#ifndef CVL_TESTS_SUPPORT_ZELSIM_H
#define CVL_TESTS_SUPPORT_ZELSIM_H

#include <string>
#include <vector>

namespace cvl::test {

// Runs zelsim with the arguments; returns its standard output.
std::string Zelsim(const std::string& arguments, int* status = nullptr);
// The SDK calls recorded so far, one per entry.
std::vector<std::string> ZelsimCalls();
// How many recorded calls begin with prefix.
int CountCalls(const std::string& prefix);

} // namespace cvl::test

#endif
