#pragma once
// Reading all values of one named attribute of one object: each value becomes display lines
// through the value renderer, a stream attribute becomes its stream text. Every read works on
// a duplicate of the caller's context, so its flag changes never reach the caller.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "util/string_list.h"

// Size of the buffer that carries the attribute name to the client.
inline constexpr uint32_t kReadRequestBufferSize = 4096;
// Size of the buffer a batch of values arrives in, and the most bytes of a stream that are read.
inline constexpr uint32_t kReadResultBufferSize = 64512;
// The code of a stream that was opened but could not be read.
inline constexpr int32_t kStreamReadFailed = 30;
// The text of a stream that could not be read.
inline constexpr const char* kCannotReadStream = "Cannot read Stream";
// How many failed batches in a row the read loop accepts while the client still hands back an
// iteration handle; a client that never ends a failed iteration cannot hold the loop forever.
inline constexpr int kMaxFailedBatchesInRow = 16;

// Appends the text of every value of `attributeName` of `objectName` (a complete name) to
// `values`, in the order the client delivers them: the lines the value renderer makes of each
// value, or one entry holding the stream text for a stream attribute. The attribute name may be
// in any letter case; "ALIASED OBJECT NAME" reads the alias object itself, never the object it
// points to. A value whose size or record cannot be had is skipped and the read goes on; an
// error raised while a value is handled appends its message as an entry. Returns the code of
// the last call (0 after a complete read), e.g. kDirNoSuchEntry or kDirNoSuchAttribute with
// `values` unchanged.
[[nodiscard]] int32_t DSReadAttribute(DirClient& client, DirContext context,
                                      const std::string& objectName,
                                      const std::string& attributeName, TStringList& values);

// The same as DSReadAttribute.
[[nodiscard]] int32_t ReadAttributeValues(DirClient& client, DirContext context,
                                          const std::string& objectName,
                                          const std::string& attributeName, TStringList& values);

// The entries DSReadAttribute gives, each followed by CR LF, with every trailing CR and LF
// removed; `text` is set whatever the code ("" when nothing was read). Line breaks inside an
// entry stay. Returns the code of DSReadAttribute.
[[nodiscard]] int32_t ReadAttributeText(DirClient& client, DirContext context,
                                        const std::string& objectName,
                                        const std::string& attributeName, std::string& text);

// One attribute of an answer to a read of several: the values and the code a read of that
// attribute alone gives (DSReadAttribute's, for an answer of one batch).
struct AttributeAnswer {
  std::string name;  // as the client names it, which may differ in letter case
  int32_t code = 0;
  TStringList values;
};

// What DSReadAttributes gives when the answer came in more than one batch.
inline constexpr int32_t kReadNeedsSeveralBatches = -9001;

// Reads `attributeNames` of `objectName` in one request: `answers` holds one entry per attribute
// the object has, in the client's order. Returns 0 when the answer came whole in one batch; any
// other code (the client's, or kReadNeedsSeveralBatches) leaves `answers` empty, and the
// attributes are then read one at a time. "ALIASED OBJECT NAME" is not to be among the names.
[[nodiscard]] int32_t DSReadAttributes(DirClient& client, DirContext context,
                                       const std::string& objectName,
                                       const std::vector<std::string>& attributeNames,
                                       std::vector<AttributeAnswer>& answers);

// The text ReadAttributeText makes of the entries DSReadAttribute gave.
[[nodiscard]] std::string ReadValuesText(const TStringList& values);

// Reads the first min(size, buffer.size()) bytes of the stream of `attributeName` (all of it
// when it is shorter) into `buffer` and sets `size` to the number of bytes read, 0 on failure;
// the stream is opened through `context` and closed again on every way out. Returns the
// client's code when the stream cannot be opened and kStreamReadFailed when it cannot be read.
[[nodiscard]] int32_t DSReadStream(DirClient& client, DirContext context,
                                   const std::string& objectName, const std::string& attributeName,
                                   std::span<uint8_t> buffer, size_t& size);

// The stream as shown: "Stream (%d bytes):", CR LF and the stream's text, of at most the first
// kReadResultBufferSize bytes. On failure `text` is kCannotReadStream and the code of
// DSReadStream is returned.
[[nodiscard]] int32_t DSReadStreamText(DirClient& client, DirContext context,
                                       const std::string& objectName,
                                       const std::string& attributeName, std::string& text);
