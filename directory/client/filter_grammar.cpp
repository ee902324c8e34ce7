#include "directory/client/filter_grammar.h"

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_name.h"

namespace {

size_t TokenBytes(const FilterToken& token) {
  size_t bytes = 8;
  if (const auto* text = std::get_if<std::string>(&token.value))
    bytes += text->size() + 1;
  if (std::holds_alternative<int32_t>(token.value))
    bytes += 4;
  if (std::holds_alternative<DirTimeStamp>(token.value))
    bytes += 8;
  return bytes;
}

// Builds the expression tree of a token sequence the grammar already accepted.
class FilterBuilder {
 public:
  FilterBuilder(const std::vector<FilterToken>& tokens, const FilterNaming& naming)
      : tokens_(tokens), naming_(naming) {}

  int32_t Build(FilterNode& root) {
    root = Or();
    return code_;
  }

 private:
  [[nodiscard]] const FilterToken* Peek() const {
    return at_ < tokens_.size() && tokens_[at_].token != kFilterEnd ? &tokens_[at_] : nullptr;
  }

  FilterNode Combine(FilterNode::Kind kind, int connective, FilterNode (FilterBuilder::*next)()) {
    FilterNode first = (this->*next)();
    if (Peek() == nullptr || Peek()->token != connective)
      return first;
    FilterNode node;
    node.kind = kind;
    node.children.push_back(std::move(first));
    while (Peek() != nullptr && Peek()->token == connective) {
      ++at_;
      node.children.push_back((this->*next)());
    }
    return node;
  }

  FilterNode Or() { return Combine(FilterNode::Kind::kOr, kFilterOr, &FilterBuilder::And); }
  FilterNode And() { return Combine(FilterNode::Kind::kAnd, kFilterAnd, &FilterBuilder::Unary); }

  FilterNode Unary() {
    const FilterToken* token = Peek();
    FilterNode node;
    if (token == nullptr) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    switch (token->token) {
      case kFilterNot:
        node.kind = FilterNode::Kind::kNot;
        node.children.push_back(Unary());
        return node;
      case kFilterOpen:
        node = Or();
        if (Peek() != nullptr && Peek()->token == kFilterClose)
          ++at_;
        return node;
      case kFilterBaseClass:
        node.kind = FilterNode::Kind::kBaseClass;
        node.text = OperandText();
        return node;
      case kFilterRdn: {
        node.kind = FilterNode::Kind::kRdn;
        const std::string operand = OperandText();
        const auto parsed = ParseDirName(operand);
        if (parsed && parsed->parts.size() == 1 && !parsed->complete && parsed->trailingDots == 0) {
          node.rdnType = parsed->parts.front().type;
          node.text = parsed->parts.front().value;
        } else {
          node.text = operand;
        }
        return node;
      }
      case kFilterPresent:
        node.kind = FilterNode::Kind::kPresent;
        node.text = naming_.attributeName(OperandText());
        return node;
      case kFilterAttribute:
        return Comparison(*token);
      default:
        code_ = kDirBadSyntax;
        return node;
    }
  }

  std::string OperandText() {
    const FilterToken* token = Peek();
    if (token == nullptr || token->token != kFilterAttribute) {
      code_ = kDirBadSyntax;
      return {};
    }
    ++at_;
    return std::get<std::string>(token->value);
  }

  FilterNode Comparison(const FilterToken& attribute) {
    FilterNode node;
    node.kind = FilterNode::Kind::kCompare;
    node.text = naming_.attributeName(std::get<std::string>(attribute.value));
    node.syntax = attribute.syntax;
    const FilterToken* op = Peek();
    if (op == nullptr) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    node.op = op->token == kFilterGreaterOrEqual ? FilterNode::Op::kGreaterOrEqual
              : op->token == kFilterLessOrEqual  ? FilterNode::Op::kLessOrEqual
              : op->token == kFilterApprox       ? FilterNode::Op::kApprox
                                                 : FilterNode::Op::kEqual;
    const FilterToken* value = Peek();
    if (value == nullptr || value->token != kFilterValue) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    if (const auto* text = std::get_if<std::string>(&value->value)) {
      if (node.syntax == kSyntaxDistinguishedName) {
        // Names compare as names: typeless parts take the types of the entries they name.
        const auto name = naming_.nameValue(*text);
        if (!name) {
          code_ = kDirInvalidObjectName;
          return node;
        }
        node.textValue = *name;
      } else {
        node.textValue = *text;
      }
    } else if (const auto* number = std::get_if<int32_t>(&value->value)) {
      node.numberValue = *number;
    } else if (const auto* time = std::get_if<DirTimeStamp>(&value->value)) {
      node.numberValue = time->seconds;
    }
    return node;
  }

  const std::vector<FilterToken>& tokens_;
  const FilterNaming& naming_;
  size_t at_ = 0;
  int32_t code_ = kDirOk;
};

}  // namespace

int32_t FilterTokens::Add(FilterToken token) {
  const Expect before = expect_;
  const int depthBefore = depth_;
  const uint32_t syntaxBefore = attributeSyntax_;
  if (const int32_t code = Accept(token); code != kDirOk) {
    expect_ = before;
    depth_ = depthBefore;
    attributeSyntax_ = syntaxBefore;
    return code;
  }
  bytes_ += TokenBytes(token);
  tokens_.push_back(std::move(token));
  return kDirOk;
}

int32_t FilterTokens::Finished() const {
  if (tokens_.empty() || (tokens_.size() == 1 && tokens_.front().token == kFilterEnd))
    return kDirFilterTreeEmpty;
  const bool complete = expect_ == Expect::kDone || (expect_ == Expect::kConnective && depth_ == 0);
  return complete ? kDirOk : kDirBadSyntax;
}

// Moves the filter's state on when `token` may follow the tokens so far.
int32_t FilterTokens::Accept(const FilterToken& token) {
  const auto* text = std::get_if<std::string>(&token.value);
  switch (expect_) {
    case Expect::kOperand:
      switch (token.token) {
        case kFilterNot:
          return kDirOk;
        case kFilterOpen:
          ++depth_;
          return kDirOk;
        case kFilterPresent:
        case kFilterRdn:
        case kFilterBaseClass:
          expect_ = Expect::kMatchOperand;
          return kDirOk;
        case kFilterAttribute:
          if (text == nullptr || text->empty())
            return kDirBadSyntax;
          attributeSyntax_ = token.syntax;
          expect_ = Expect::kOperator;
          return kDirOk;
        case kFilterEnd:
          if (!tokens_.empty())
            return kDirBadSyntax;
          expect_ = Expect::kDone;
          return kDirOk;
        default:
          return kDirBadSyntax;
      }
    case Expect::kMatchOperand:
      if (token.token != kFilterAttribute || text == nullptr || text->empty())
        return kDirBadSyntax;
      expect_ = Expect::kConnective;
      return kDirOk;
    case Expect::kOperator:
      if (token.token < kFilterEqual || token.token > kFilterApprox)
        return kDirBadSyntax;
      expect_ = Expect::kValue;
      return kDirOk;
    case Expect::kValue: {
      if (token.token != kFilterValue)
        return kDirBadSyntax;
      // The value must be of the kind the compared attribute's syntax takes.
      const uint32_t syntax = attributeSyntax_;
      const bool fits =
          (IsFilterTextSyntax(syntax) && text != nullptr) ||
          (IsFilterNumberSyntax(syntax) && std::holds_alternative<int32_t>(token.value)) ||
          (IsTimeSyntax(syntax) && std::holds_alternative<DirTimeStamp>(token.value));
      if (!fits)
        return kDirBadSyntax;
      expect_ = Expect::kConnective;
      return kDirOk;
    }
    case Expect::kConnective:
      switch (token.token) {
        case kFilterOr:
        case kFilterAnd:
          expect_ = Expect::kOperand;
          return kDirOk;
        case kFilterClose:
          if (depth_ == 0)
            return kDirBadSyntax;
          --depth_;
          return kDirOk;
        case kFilterEnd:
          if (depth_ != 0)
            return kDirBadSyntax;
          expect_ = Expect::kDone;
          return kDirOk;
        default:
          return kDirBadSyntax;
      }
    case Expect::kDone:
      return kDirBadSyntax;
  }
  return kDirBadSyntax;
}

int32_t BuildFilterTree(const FilterTokens& filter, const FilterNaming& naming, FilterNode& root) {
  return FilterBuilder(filter.Tokens(), naming).Build(root);
}
