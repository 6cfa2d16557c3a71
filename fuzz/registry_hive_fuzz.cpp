// Hive files: any text either parses or is refused with a line and reason;
// a hive that parses is written out and read back to the same keys and
// values, and writing that again gives the same text.
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/registry/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  using namespace quol::platform;
  RegKey root;
  RegParseError error;
  if (quol::Failed(ParseRegFile(quol::fuzz::AsText(data, size), &root, &error))) {
    if (error.reason.empty()) quol::fuzz::Broken("refused without a reason");
    return 0;
  }
  std::string text;
  if (quol::Failed(FormatRegFile(root, &text))) return 0;
  RegKey again;
  RegParseError again_error;
  if (quol::Failed(ParseRegFile(text, &again, &again_error))) {
    quol::fuzz::Broken("a written hive does not parse");
  }
  if (!(again == root)) quol::fuzz::Broken("a written hive reads back different");
  std::string text_again;
  if (quol::Failed(FormatRegFile(again, &text_again)) || text_again != text) {
    quol::fuzz::Broken("writing a hive twice differs");
  }
  return 0;
}
