// The code-requirement language: a small predicate language over a verified
// signature. Grammar (precedence: ! over and over or):
//
//   expr     := term { "or" term }
//   term     := factor { "and" factor }
//   factor   := "!" factor | "(" expr ")" | predicate
//   predicate:= "identifier" ["="] value
//             | "anchor" "apple" "generic"        the vendor anchors
//             | "anchor" "trusted"                any configured anchor
//             | "certificate" slot "[" "field." OID "]" "exists"
//             | "certificate" slot "[" "subject." NAME "]" ( "exists" | "=" value )
//             | "cdhash" H"<64 hex digits>"
//   slot     := "leaf" | "root" | "anchor" | N     (N >= 0 from the leaf; -1 is the root)
//   value    := "quoted string" | bare-word
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "codesign/ossl.h"

namespace qlsign {

// What a requirement is evaluated against: facts of a signature that has
// already been verified.
struct RequirementContext {
  std::string identifier;
  Bytes cdhash;
  const std::vector<X509Ptr>* chain = nullptr;  // leaf first; null or empty: unsigned
  bool anchorIsVendor = false;
  bool anchorIsTrusted = false;
};

class Requirement {
 public:
  struct Node;

  // Longer texts are refused before parsing.
  static constexpr size_t kMaxRequirementText = 16 * 1024;

  Requirement() = default;
  // False with a message naming the offset and what was expected. Nesting
  // deeper than 64 levels or more than 512 terms is refused too.
  static bool parse(const std::string& text, Requirement* out, std::string* error);

  bool empty() const { return !root_; }
  bool evaluate(const RequirementContext& context) const;
  // Canonical text; parsing it gives an equivalent requirement.
  std::string text() const;

 private:
  std::shared_ptr<const Node> root_;
};

// Quotes a string for the language ("…" with \" and \\ escaped).
std::string quoteRequirementString(const std::string& s);

}  // namespace qlsign
