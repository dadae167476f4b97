// A scratch folder per fuzzing process: the installation root and runtime
// folder that the code under test resolves its paths in, removed at exit.
#ifndef CVL_FUZZ_FUZZSCRATCH_H
#define CVL_FUZZ_FUZZSCRATCH_H

#include <string>

namespace cvl::fuzz {

// Makes the folder once, sets CVL_ROOT (<scratch>/root) and XDG_RUNTIME_DIR
// (<scratch>/run) to folders inside it, and returns it.
const std::string& Scratch();

// Writes the bytes as the whole content of the file; aborts on failure, since
// a fuzz run whose input never reaches the code is worthless.
void WriteFileOrDie(const std::string& path, const unsigned char* data, size_t size);

// Connects a Unix-domain stream socket to path, sends the bytes, shuts the
// sending side, and gathers everything the server sends until it closes the
// connection. Sending and receiving are interleaved so neither side can stall
// the other on a full buffer. Returns false when the server has not closed
// the connection within the given seconds (or cannot be reached).
bool Converse(const std::string& path, const unsigned char* data, size_t size,
              std::string& received, int seconds);

// Prints the reason and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* reason);

} // namespace cvl::fuzz

#endif
