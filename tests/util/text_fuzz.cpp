// Arbitrary bytes through the readers that take outside data: number texts, byte buffers,
// replacing. Any out-of-bounds read or undefined behaviour stops the run.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/numbers.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t offset = size == 0 ? 0 : data[0];

  SetNumberSeparators({(size % 2) != 0 ? ',' : '.', (size % 3) != 0 ? '.' : ','});
  static_cast<void>(TextToNumber(text));
  static_cast<void>(TextToIntChecked(text));
  static_cast<void>(LinesFromBytes(bytes, offset, size));
  static_cast<void>(TextFromBytes(bytes, offset, size + 1));
  static_cast<void>(HexOfBytes(bytes, static_cast<uint16_t>(size + 3)));
  const std::string_view head = text.substr(0, text.size() / 3);
  static_cast<void>(ReplaceText(text, head.substr(0, 2), head, false, true));
  static_cast<void>(SplitInThree(text, head.substr(0, 1)));
  static_cast<void>(TreeNameText(text));
  return 0;
}
