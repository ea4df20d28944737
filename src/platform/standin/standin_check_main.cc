// Start-up of the read-only check on Linux, over the stand-in: a look at the Windows directory
// $WINDIR (a mounted image, say). Arguments and output are file-name bytes, UTF-8 where valid.
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "check/staged_package_check.h"
#include "platform/standin/wide_text.h"

namespace {

class StandardStreams : public CheckOutput {
 public:
  void Out(std::u16string_view text) override { Write(stdout, text); }
  void Err(std::u16string_view text) override { Write(stderr, text); }

 private:
  static void Write(std::FILE* stream, std::u16string_view text) {
    const std::string bytes = standin::EncodeFileName(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::u16string> decoded;
  for (int i = 1; i < argc; ++i) decoded.push_back(standin::DecodeFileName(argv[i]));
  std::vector<PCWSTR> arguments;
  for (const std::u16string& argument : decoded) arguments.push_back(argument.c_str());
  StandardStreams output;
  return RunStagedPackageCheck(arguments, output);
}
