#include "directory/d_nw_read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <vector>

#include "directory/client/dir_syntax.h"
#include "directory/scoped_dir_handles.h"
#include "render/attr_values.h"
#include "render/named_attributes.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

// The most answers room is made for ahead of a batch's attributes.
constexpr size_t kMaxReservedAnswers = 64;
// A value record is the value as it arrived in the result buffer plus a few fixed fields; one
// many times larger than that buffer cannot have come from it, and is not allocated.
constexpr uint32_t kMaxValueRecordSize = 16 * kReadResultBufferSize;

static_assert(kReadResultBufferSize == kStreamBufferSize,
              "the stream buffer read here is the one the stream renderer shows");

// An alias object's own attribute is read only when the context does not follow aliases.
[[nodiscard]] int32_t StopFollowingAliases(DirClient& client, DirContext context) {
  uint32_t flags = 0;
  const int32_t code = client.DirGetContextValue(context, kDirKeyFlags, flags);
  if (code != kDirOk) {
    return code;
  }
  return client.DirSetContextValue(context, kDirKeyFlags, flags & ~kDirFlagDerefAliases);
}

// One value of the batch: its record fetched into `record` (the room of the values before it,
// reused) and rendered into `values`. A value whose size or record cannot be had is skipped
// with the client's code.
[[nodiscard]] int32_t ReadOneValue(DirClient& client, DirContext context, DirBuffer result,
                                   uint32_t syntax, const std::string& attributeName,
                                   std::vector<uint8_t>& record, TStringList& values) {
  uint32_t size = 0;
  int32_t code = client.DirComputeValueSize(context, result, syntax, size);
  if (code != kDirOk || size == 0) {
    return code;
  }
  if (size > kMaxValueRecordSize) {
    return kDirInsufficientBuffer;
  }
  try {
    record.assign(size, 0);
    code = client.DirGetValue(context, result, syntax, record);
    if (code == kDirOk) {
      AttrValueLines(syntax, attributeName, record, values);
    }
  } catch (const std::exception& error) {
    // The value is lost, but not silently: its entry says why, and the next value follows.
    values.Add(error.what());
  }
  return code;
}

// The attribute whose name the batch just gave: its stream text, or the lines of each of its
// values. Gives the code of the last call.
[[nodiscard]] int32_t ReadNamedAttribute(DirClient& client, DirContext context,
                                         const std::string& objectName, DirBuffer result,
                                         const std::string& name, uint32_t valueCount,
                                         uint32_t syntax, TStringList& values) {
  if (syntax == kSyntaxStream) {
    std::string text;
    const int32_t code = DSReadStreamText(client, context, objectName, name, text);
    if (code == kDirOk) {
      values.Add(std::move(text));
    }
    return code;
  }
  int32_t code = kDirOk;
  std::vector<uint8_t> record;
  for (uint32_t value = 0; value < valueCount; ++value) {
    code = ReadOneValue(client, context, result, syntax, name, record, values);
    if (code == kDirBufferEmpty) {
      // Past the batch's last value every further call says the same: a value count larger
      // than what the batch holds must not keep the read spinning.
      break;
    }
  }
  return code;
}

// The first attribute of one batch (the only one asked for). Gives the code of the last call.
[[nodiscard]] int32_t ReadBatch(DirClient& client, DirContext context,
                                const std::string& objectName, DirBuffer result,
                                TStringList& values) {
  uint32_t attributeCount = 0;
  int32_t code = client.DirGetAttributeCount(context, result, attributeCount);
  if (code != kDirOk) {
    return code;
  }
  std::string name;
  uint32_t valueCount = 0;
  uint32_t syntax = 0;
  code = client.DirGetAttributeName(context, result, name, valueCount, syntax);
  if (code != kDirOk) {
    return code;
  }
  return ReadNamedAttribute(client, context, objectName, result, name, valueCount, syntax, values);
}

// Every attribute of one batch, each answered as a read of that attribute alone would be.
[[nodiscard]] int32_t ReadWholeBatch(DirClient& client, DirContext context,
                                     const std::string& objectName, DirBuffer result,
                                     std::vector<AttributeAnswer>& answers) {
  uint32_t attributeCount = 0;
  int32_t code = client.DirGetAttributeCount(context, result, attributeCount);
  if (code != kDirOk) {
    return code;
  }
  // The count is the batch's word, so it only sizes the room, never more than a batch can hold.
  answers.reserve(std::min<size_t>(attributeCount, kMaxReservedAnswers));
  for (uint32_t attribute = 0; attribute < attributeCount; ++attribute) {
    AttributeAnswer answer;
    uint32_t valueCount = 0;
    uint32_t syntax = 0;
    code = client.DirGetAttributeName(context, result, answer.name, valueCount, syntax);
    if (code != kDirOk) {
      return code;
    }
    answer.code = ReadNamedAttribute(client, context, objectName, result, answer.name, valueCount,
                                     syntax, answer.values);
    answers.push_back(std::move(answer));
  }
  return kDirOk;
}

// A read buffer for `attributeNames` and one for the answer, both prepared on `context`.
[[nodiscard]] int32_t PrepareRead(DirClient& client, DirContext context,
                                  const std::vector<std::string>& attributeNames,
                                  ScopedDirBuffer& request, ScopedDirBuffer& result) {
  int32_t code = request.Prepare(context, kReadRequestBufferSize, kDirOperationRead);
  for (size_t name = 0; code == kDirOk && name < attributeNames.size(); ++name) {
    code = client.DirPutAttributeName(context, request.Get(), attributeNames[name]);
  }
  if (code == kDirOk) {
    code = result.Prepare(context, kReadResultBufferSize, kDirOperationRead);
  }
  return code;
}

}  // namespace

int32_t DSReadAttribute(DirClient& client, DirContext context, const std::string& objectName,
                        const std::string& attributeName, TStringList& values) {
  ScopedDirContext reading(client);
  int32_t code = reading.Duplicate(context);
  if (code != kDirOk) {
    return code;
  }
  if (UpperAscii(attributeName) == "ALIASED OBJECT NAME") {
    // Following the alias would read the attribute of the object it points to.
    code = StopFollowingAliases(client, reading.Get());
    if (code != kDirOk) {
      return code;
    }
  }

  ScopedDirBuffer request(client);
  ScopedDirBuffer result(client);
  code = PrepareRead(client, reading.Get(), {attributeName}, request, result);
  if (code != kDirOk) {
    return code;
  }

  int32_t iterationHandle = -1;
  int failedInRow = 0;
  do {
    code = client.DirRead(reading.Get(), objectName, 1, 0, request.Get(), iterationHandle,
                          result.Get());
    if (code != kDirOk) {
      // A failed batch may be followed by readable ones while the client keeps the iteration
      // open, but not endlessly.
      if (++failedInRow >= kMaxFailedBatchesInRow) {
        break;
      }
      continue;
    }
    failedInRow = 0;
    code = ReadBatch(client, reading.Get(), objectName, result.Get(), values);
  } while (iterationHandle != -1 && code <= 0);
  return code;
}

int32_t DSReadAttributes(DirClient& client, DirContext context, const std::string& objectName,
                         const std::vector<std::string>& attributeNames,
                         std::vector<AttributeAnswer>& answers) {
  answers.clear();
  ScopedDirContext reading(client);
  int32_t code = reading.Duplicate(context);
  if (code != kDirOk) {
    return code;
  }
  ScopedDirBuffer request(client);
  ScopedDirBuffer result(client);
  code = PrepareRead(client, reading.Get(), attributeNames, request, result);
  if (code != kDirOk) {
    return code;
  }
  int32_t iterationHandle = -1;
  code =
      client.DirRead(reading.Get(), objectName, 1, 0, request.Get(), iterationHandle, result.Get());
  if (code == kDirOk) {
    code = ReadWholeBatch(client, reading.Get(), objectName, result.Get(), answers);
  }
  if (iterationHandle != -1) {
    // An answer in several batches could split an attribute's values; the caller reads those
    // one by one, and the open iteration is run to its end so that the client can let it go.
    int failedInRow = 0;
    while (iterationHandle != -1 && failedInRow < kMaxFailedBatchesInRow) {
      failedInRow = client.DirRead(reading.Get(), objectName, 1, 0, request.Get(), iterationHandle,
                                   result.Get()) == kDirOk
                        ? 0
                        : failedInRow + 1;
    }
    code = kReadNeedsSeveralBatches;
  }
  if (code != kDirOk) {
    answers.clear();
  }
  return code;
}

int32_t ReadAttributeValues(DirClient& client, DirContext context, const std::string& objectName,
                            const std::string& attributeName, TStringList& values) {
  return DSReadAttribute(client, context, objectName, attributeName, values);
}

int32_t ReadAttributeText(DirClient& client, DirContext context, const std::string& objectName,
                          const std::string& attributeName, std::string& text) {
  TStringList values;
  const int32_t code = DSReadAttribute(client, context, objectName, attributeName, values);
  text = ReadValuesText(values);
  return code;
}

std::string ReadValuesText(const TStringList& values) {
  std::string joined;
  for (const TStringList::Entry& entry : values) {
    joined += entry.text;
    joined += "\r\n";
  }
  joined.erase(joined.find_last_not_of("\r\n") + 1);
  return joined;
}

int32_t DSReadStream(DirClient& client, DirContext context, const std::string& objectName,
                     const std::string& attributeName, std::span<uint8_t> buffer, size_t& size) {
  const size_t limit = std::min(size, buffer.size());
  size = 0;
  int handle = -1;
  const int32_t code = client.DirOpenStream(context, objectName, attributeName, 1, handle);
  if (code != kDirOk) {
    return code;
  }
  const UniqueFd stream(handle);
  // One read normally brings the whole stream (or its first `limit` bytes); reading on until the
  // end only matters for a descriptor that hands its bytes out in pieces.
  size_t done = 0;
  while (done < limit) {
    const ssize_t got = ::read(stream.Get(), buffer.data() + done, limit - done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return kStreamReadFailed;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  size = done;
  return kDirOk;
}

int32_t DSReadStreamText(DirClient& client, DirContext context, const std::string& objectName,
                         const std::string& attributeName, std::string& text) {
  text = kCannotReadStream;
  std::vector<uint8_t> buffer(kReadResultBufferSize, 0);
  size_t size = buffer.size();
  const int32_t code = DSReadStream(client, context, objectName, attributeName, buffer, size);
  if (code == kDirOk) {
    text = StreamDisplayText(buffer, size, attributeName);
  }
  return code;
}
