// Prints the resolution of its argument, for tests that vary CVL_ROOT.
#include "CVLPaths.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    std::printf("%s\n", CVLResolvePath(argv[1]));
    return 0;
}
