#include "Zelsim.h"

#include "TestSupport.h"

namespace cvl::test {

std::string Zelsim(const std::string& arguments, int* status) {
    std::string output;
    const int result = RunCommand(ShellQuote(Program("zelsim")) + " " + arguments, &output);
    if (status)
        *status = result;
    return output;
}

std::vector<std::string> ZelsimCalls() {
    return SplitLines(Zelsim("calls"));
}

int CountCalls(const std::string& prefix) {
    int count = 0;
    for (const std::string& call : ZelsimCalls())
        count += call.rfind(prefix, 0) == 0;
    return count;
}

} // namespace cvl::test
