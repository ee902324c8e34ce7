#pragma once
// Readable forms of binary values whose layout is known by the attribute's name: octet strings
// (and octet list nodes) of a fixed list of well-known attributes, and stream contents, with the
// packed "AOT FILE" records of application objects. Everything else is shown as hex or as text.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The most bytes of a stream that are read and shown.
inline constexpr size_t kStreamBufferSize = 64512;

// The text of one octet value: the layout chosen by `attributeName` (ASCII case ignored, first
// match of the known names), else HexOfBytes of all data bytes ("" for no bytes). May contain
// CR LF. Never fails: fields past the end of `data` read as zero, and a hex form of more than
// 65,535 bytes shows the first 65,535 followed by "... (<size> bytes)".
[[nodiscard]] std::string OctetValueText(std::span<const uint8_t> data,
                                         std::string_view attributeName);

// The text of a stream's content. `count` is the number of bytes read (N; at most
// kStreamBufferSize are used); the bytes of `buffer` from min(count, buffer.size()) on, and every
// position past the buffer, read as zero. `attributeName` (exact case) chooses the body of an
// "AOT FILE" stream.
[[nodiscard]] std::string StreamText(std::span<const uint8_t> buffer, size_t count,
                                     std::string_view attributeName);

// The record lines of a packed stream, starting with CR LF; the scan runs from `start` until the
// cursor passes start + count (positions past the data read as zero). `wordsPerRecord` and
// `textsPerRecord` both -1 select the free-form scan; other negative counts read as 0.
[[nodiscard]] std::string StreamRecordsText(std::span<const uint8_t> buffer, size_t start,
                                            size_t count, int wordsPerRecord, int textsPerRecord);

// 0 "(local error)", 1 "(remote error)", 2 "(in sync)", any other "(%d - unknown)".
[[nodiscard]] std::string SyncStateText(uint32_t state);

// "Stream (%d bytes):" with `count`.
[[nodiscard]] std::string StreamSizeHeader(size_t count);
// A stream as shown: StreamSizeHeader, CR LF, then StreamText.
[[nodiscard]] std::string StreamDisplayText(std::span<const uint8_t> buffer, size_t count,
                                            std::string_view attributeName);
