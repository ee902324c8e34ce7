// Feeds arbitrary bytes, lengths, syntax numbers and attribute names to the renderers: none of
// them may crash, read outside its input or hang, whatever the value claims about itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "render/attr_values.h"
#include "render/named_attributes.h"
#include "util/string_list.h"

namespace {

// Every name with a layout of its own, a few spellings of them and names that match nothing.
constexpr std::array<std::string_view, 38> kNames = {"App:GUID",
                                                     "App:Path",
                                                     "rbsTaskRights",
                                                     "Bindery Property",
                                                     "snmpTrapDescription",
                                                     "CA Public Key",
                                                     "Public Key",
                                                     "memberQuery",
                                                     "WM:INV DMA",
                                                     "WM:INV Interrupt",
                                                     "WM:INV Port",
                                                     "WM:INV CPU Information",
                                                     "WM:INV Shared Memory",
                                                     "WM:INV Volume",
                                                     "NGW: Location",
                                                     "App:Folder List",
                                                     "App:FS Rights Path",
                                                     "bhConfig",
                                                     "FW0 USER ADD",
                                                     "Partition Status",
                                                     "Local Received Up To",
                                                     "Transitive Vector",
                                                     "Printer Configuration",
                                                     "App:Macros",
                                                     "App:Copy Files",
                                                     "App:Inventory",
                                                     "App:Program Groups",
                                                     "App:Contacts",
                                                     "app:path",
                                                     "PARTITION STATUS",
                                                     "App:PathX",
                                                     "",
                                                     "ACL",
                                                     "Member",
                                                     "Login Script",
                                                     "printer configuration",
                                                     "bindery property",
                                                     "Description"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const auto mode = input.ConsumeIntegralInRange<int>(0, 3);
  const auto syntax = input.ConsumeIntegral<uint32_t>() % 40;
  const std::string name =
      input.ConsumeBool()
          ? std::string(kNames[input.ConsumeIntegralInRange<size_t>(0, kNames.size() - 1)])
          : input.ConsumeRandomLengthString(64);
  // Mostly counts near the value's size, where the interesting edges are; sometimes anything.
  const bool nearSize = input.ConsumeBool();
  const auto count = input.ConsumeIntegral<uint32_t>();
  const auto words = input.ConsumeIntegralInRange<int>(-2, 6);
  const auto texts = input.ConsumeIntegralInRange<int>(-2, 6);
  const std::vector<uint8_t> value = input.ConsumeRemainingBytes<uint8_t>();
  const size_t length = nearSize ? count % (2 * value.size() + 64) : count;

  switch (mode) {
    case 0: {
      TStringList lines;
      AttrValueLines(syntax, name, value, lines);
      break;
    }
    case 1:
      (void)OctetValueText(value, name);
      break;
    case 2:
      (void)StreamDisplayText(value, length, name);
      break;
    default:
      (void)StreamRecordsText(value, count % 64, length, words, texts);
      break;
  }
  return 0;
}
