#pragma once
// A search filter as its caller builds it, token by token: which token may follow which, what
// kind of value a comparison takes for its attribute's syntax, the bytes the filter takes in a
// buffer, and the expression tree of the finished sequence.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/dir_codes.h"
#include "directory/client/filter_expr.h"

struct FilterToken {
  int token = 0;  // a DirFilterToken
  DirFilterValue value;
  uint32_t syntax = 0;  // of an attribute token's attribute
};

// The tokens a filter was given so far, each one checked against those before it.
class FilterTokens {
 public:
  // Appends `token` when it may follow the tokens so far; otherwise kDirBadSyntax, with the
  // filter as it was. An attribute token needs a non-empty text, a comparison's value the kind
  // its attribute's syntax takes (a text, an int32_t or a DirTimeStamp), and a close a matching
  // open; after the end token nothing may follow.
  [[nodiscard]] int32_t Add(FilterToken token);
  // kDirOk for a whole filter (the end token is optional once every open is closed);
  // kDirFilterTreeEmpty for one without any term; kDirBadSyntax for an unfinished one.
  [[nodiscard]] int32_t Finished() const;
  // The bytes the filter takes in a buffer: 8 a token, and its value's (a text with its NUL).
  [[nodiscard]] size_t Bytes() const { return bytes_; }
  [[nodiscard]] const std::vector<FilterToken>& Tokens() const { return tokens_; }

 private:
  enum class Expect { kOperand, kMatchOperand, kOperator, kValue, kConnective, kDone };
  [[nodiscard]] int32_t Accept(const FilterToken& token);

  std::vector<FilterToken> tokens_;
  Expect expect_ = Expect::kOperand;
  int depth_ = 0;
  size_t bytes_ = 0;
  uint32_t attributeSyntax_ = 0;  // of the comparison being built
};

// What a filter's tree takes from the connection it will run on.
struct FilterNaming {
  // The directory name of an attribute given by either of its names.
  std::function<std::string(std::string_view)> attributeName;
  // The RFC 4514 text of the entry a distinguished-name value names; nullopt for a name that
  // cannot be parsed.
  std::function<std::optional<std::string>(std::string_view)> nameValue;
};

// The expression tree of a finished filter (Finished() gave kDirOk): OR binds weaker than AND,
// NOT tightest, a base-class, RDN or presence term takes the attribute token after it as its
// operand. kDirInvalidObjectName for a distinguished-name value nameValue refuses.
[[nodiscard]] int32_t BuildFilterTree(const FilterTokens& filter, const FilterNaming& naming,
                                      FilterNode& root);
