// Start-up of the read-only check on Linux, over the stand-in: a look at the Windows directory
// $WINDIR (a mounted image, say). Arguments and output are file-name bytes, UTF-8 where valid: an
// INF name that is not valid UTF-8 is written as its own bytes, so that the line names that file.
#include <csignal>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "check/staged_package_check.h"
#include "platform/standin/wide_text.h"

namespace {

// False when the text did not all reach the stream: a closed descriptor (EBADF), a full disk or
// device (ENOSPC, as /dev/full), a closed pipe.
bool Write(std::FILE* stream, std::u16string_view text) {
  const std::string bytes = standin::EncodeFileName(text);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
  return std::fflush(stream) == 0 && written;
}

class StandardStreams : public CheckOutput {
 public:
  bool Out(std::u16string_view text) override { return Write(stdout, text); }
  void Err(std::u16string_view text) override { Write(stderr, text); }
};

}  // namespace

int main(int argc, char** argv) {
  // A reader that has gone away is a report not written: EPIPE and exit code 2, not the silent
  // death by SIGPIPE that a deployment tool would read as a crash.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::u16string> decoded;
  for (int i = 1; i < argc; ++i) decoded.push_back(standin::DecodeFileName(argv[i]));
  std::vector<PCWSTR> arguments;
  for (const std::u16string& argument : decoded) arguments.push_back(argument.c_str());
  StandardStreams output;
  return RunStagedPackageCheck(arguments, output);
}
