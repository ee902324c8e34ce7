#pragma once
// The install document's attribute source in the program: reads through a directory context
// (the window's search context, whose names are complete), and remembers the first read that
// failed for another reason than the attribute being absent. The first read of one of an object's
// RBS attributes reads all of them in one request, and the others are answered from it while
// that object is in hand; a source lives for one rebuild, so no answer outlives it.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "xmlexport/attribute_source.h"

class DirectoryAttributeSource : public XmlAttributeSource {
 public:
  // A read the document went on without although the object may hold values there.
  struct ReadFailure {
    int32_t code;
    std::string objectName;
    std::string attributeName;
  };

  // `context` stays the caller's; every read works on a duplicate of it. `client` must outlive
  // the source. `within`: a search that finds the objects the writer will expect.
  DirectoryAttributeSource(DirClient& client, DirContext context,
                           std::optional<ReadAheadScope> within = std::nullopt)
      : client_(client), context_(context), within_(std::move(within)) {}

  [[nodiscard]] int32_t ReadValues(const std::string& objectName, const std::string& attributeName,
                                   TStringList& values) const override;
  [[nodiscard]] int32_t ReadText(const std::string& objectName, const std::string& attributeName,
                                 std::string& text) const override;

  // The first read that gave a code other than 0, "no such attribute" or "no such value": a
  // document written meanwhile may lack values the directory holds. nullopt when there was none.
  [[nodiscard]] const std::optional<ReadFailure>& FirstFailure() const { return firstFailure_; }
  // The first read that found the server lost (no answer in time, or not reachable); nullopt
  // when there was none.
  [[nodiscard]] const std::optional<ReadFailure>& LostServer() const { return lostServer_; }
  [[nodiscard]] bool Unreachable() const override { return lostServer_.has_value(); }
  // The RBS attributes of all `objectNames` are asked for ahead (DirReadAhead, or
  // DSReadAheadWithin of the source's search), for the writer reads the objects in this order.
  void Expect(const std::vector<std::string>& objectNames) const override;

 private:
  int32_t Note(int32_t code, const std::string& objectName, const std::string& attributeName) const;
  // The answer a read of `attributeName` alone would give, from the object's answer to one read
  // of all its RBS attributes; nullptr when it must be read alone.
  [[nodiscard]] const AttributeAnswer* Answered(const std::string& objectName,
                                                const std::string& attributeName) const;

  // The object whose RBS attributes were read last, and what that read gave.
  struct ObjectAnswer {
    std::string objectName;
    int32_t code = 0;
    std::vector<AttributeAnswer> attributes;
  };

  DirClient& client_;
  DirContext context_;
  std::optional<ReadAheadScope> within_;
  mutable std::optional<ObjectAnswer> lastObject_;
  mutable std::optional<AttributeAnswer> lostAnswer_;
  mutable std::optional<ReadFailure> firstFailure_;
  mutable std::optional<ReadFailure> lostServer_;
};

// What the error box of a failed read names: "Reading <attribute> of <complete object name>".
[[nodiscard]] std::string FailedReadText(const DirectoryAttributeSource::ReadFailure& failure);
