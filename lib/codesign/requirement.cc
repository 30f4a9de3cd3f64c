#include "codesign/requirement.h"

#include <charconv>
#include <cctype>

#include "codesign/identity.h"

namespace qlsign {

struct Requirement::Node {
  enum class Kind { kAnd, kOr, kNot, kIdentifier, kAnchorVendor, kAnchorTrusted, kFieldExists, kSubjectExists,
                    kSubjectEquals, kCdhash };
  Kind kind;
  std::shared_ptr<const Node> left, right;
  int slot = 0;        // certificate: >= 0 from the leaf, < 0 from the anchor
  std::string name;    // OID or subject field name
  std::string value;   // identifier or compared value
  Bytes hash;
};

namespace {

using Node = Requirement::Node;
using NodePtr = std::shared_ptr<const Node>;

struct Token {
  enum class Type { kEnd, kWord, kString, kHash, kPunct, kBracket } type = Type::kEnd;
  std::string text;
  size_t offset = 0;
};

const std::vector<std::string> kSubjectFields = {"CN", "OU", "O", "C", "L", "ST", "emailAddress"};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  NodePtr parseAll() {
    advance();
    NodePtr n = parseOr();
    if (!message_.empty()) return nullptr;
    if (n && cur_.type != Token::Type::kEnd) return error("'and', 'or' or the end of the requirement");
    return n;
  }
  const std::string& message() const { return message_; }

 private:
  bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' || c == '/' || c == ':' ||
           c == '+' || c == '@';
  }

  void advance() {
    if (!message_.empty()) return;
    size_t i = pos_;
    while (i < s_.size() && std::isspace(static_cast<unsigned char>(s_[i]))) ++i;
    cur_ = Token{};
    cur_.offset = i;
    if (i >= s_.size()) {
      pos_ = i;
      return;
    }
    char c = s_[i];
    if (c == '(' || c == ')' || c == '!' || c == '=') {
      cur_.type = Token::Type::kPunct;
      cur_.text = std::string(1, c);
      pos_ = i + 1;
    } else if (c == '[') {
      size_t close = s_.find(']', i + 1);
      if (close == std::string::npos) return lexError(i, "unterminated '['");
      cur_.type = Token::Type::kBracket;
      cur_.text = s_.substr(i + 1, close - i - 1);
      pos_ = close + 1;
    } else if (c == '"') {
      readString(i, Token::Type::kString);
    } else if (c == 'H' && i + 1 < s_.size() && s_[i + 1] == '"') {
      readString(i + 1, Token::Type::kHash);
      cur_.offset = i;
    } else if (isWordChar(c)) {
      size_t j = i;
      while (j < s_.size() && isWordChar(s_[j])) ++j;
      cur_.type = Token::Type::kWord;
      cur_.text = s_.substr(i, j - i);
      pos_ = j;
    } else {
      lexError(i, std::string("unexpected character '") + c + "'");
    }
  }

  void readString(size_t quote, Token::Type type) {
    std::string out;
    size_t i = quote + 1;
    for (; i < s_.size() && s_[i] != '"'; ++i) {
      if (s_[i] == '\\') {
        if (++i >= s_.size()) break;
      }
      out.push_back(s_[i]);
    }
    if (i >= s_.size()) return lexError(quote, "unterminated string");
    cur_.type = type;
    cur_.text = std::move(out);
    pos_ = i + 1;
  }

  void lexError(size_t offset, const std::string& what) {
    if (message_.empty()) message_ = "offset " + std::to_string(offset) + ": " + what;
    cur_ = Token{};
    cur_.offset = offset;
  }

  NodePtr error(const std::string& expected) {
    if (message_.empty()) {
      std::string found = cur_.type == Token::Type::kEnd ? "end of text" : "'" + cur_.text + "'";
      if (cur_.type == Token::Type::kBracket) found = "'[" + cur_.text + "]'";
      message_ = "offset " + std::to_string(cur_.offset) + ": expected " + expected + ", found " + found;
    }
    return nullptr;
  }

  bool isWord(const char* w) const { return cur_.type == Token::Type::kWord && cur_.text == w; }
  bool isPunct(const char* p) const { return cur_.type == Token::Type::kPunct && cur_.text == p; }

  // A requirement comes out of a signature, so its author picks its shape.
  // Evaluating, printing and freeing the tree all recurse, so both the
  // nesting and the number of terms are bounded; real requirements use a
  // handful of each.
  static constexpr int kMaxDepth = 64;
  static constexpr int kMaxNodes = 512;

  NodePtr make(Node n) {
    if (++nodes_ > kMaxNodes) return error("a requirement of at most " + std::to_string(kMaxNodes) + " terms");
    return std::make_shared<const Node>(std::move(n));
  }

  // Counts one level of '(' or '!' for the lifetime of a parseFactor call.
  struct DepthGuard {
    explicit DepthGuard(int* d) : depth(d) { ++*depth; }
    ~DepthGuard() { --*depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    int* depth;
  };

  NodePtr parseOr() {
    NodePtr left = parseAnd();
    while (left && isWord("or")) {
      advance();
      NodePtr right = parseAnd();
      if (!right) return nullptr;
      left = make({Node::Kind::kOr, left, right});
    }
    return left;
  }

  NodePtr parseAnd() {
    NodePtr left = parseFactor();
    while (left && isWord("and")) {
      advance();
      NodePtr right = parseFactor();
      if (!right) return nullptr;
      left = make({Node::Kind::kAnd, left, right});
    }
    return left;
  }

  NodePtr parseFactor() {
    if (!message_.empty()) return nullptr;
    DepthGuard guard(&depth_);
    if (depth_ > kMaxDepth) return error("at most " + std::to_string(kMaxDepth) + " levels of '(' and '!'");
    if (isPunct("!")) {
      advance();
      NodePtr inner = parseFactor();
      if (!inner) return nullptr;
      return make({Node::Kind::kNot, inner, nullptr});
    }
    if (isPunct("(")) {
      advance();
      NodePtr inner = parseOr();
      if (!inner) return nullptr;
      if (!isPunct(")")) return error("')'");
      advance();
      return inner;
    }
    if (isWord("identifier")) return parseIdentifier();
    if (isWord("anchor")) return parseAnchor();
    if (isWord("certificate") || isWord("cert")) return parseCertificate();
    if (isWord("cdhash")) return parseCdhash();
    return error("'identifier', 'anchor', 'certificate', 'cdhash', '!' or '('");
  }

  bool takeValue(std::string* out) {
    if (cur_.type != Token::Type::kString && cur_.type != Token::Type::kWord) return false;
    *out = cur_.text;
    advance();
    return true;
  }

  NodePtr parseIdentifier() {
    advance();
    if (isPunct("=")) advance();
    Node n{Node::Kind::kIdentifier};
    if (!takeValue(&n.value)) return error("an identifier string");
    return make(std::move(n));
  }

  NodePtr parseAnchor() {
    advance();
    if (isWord("trusted")) {
      advance();
      return make({Node::Kind::kAnchorTrusted});
    }
    if (!isWord("apple")) return error("'apple generic' or 'trusted' after 'anchor'");
    advance();
    if (!isWord("generic")) return error("'generic' after 'anchor apple' (only the generic vendor anchor is known)");
    advance();
    return make({Node::Kind::kAnchorVendor});
  }

  NodePtr parseCertificate() {
    advance();
    Node n{Node::Kind::kFieldExists};
    if (isWord("leaf")) {
      n.slot = 0;
    } else if (isWord("root") || isWord("anchor")) {
      n.slot = -1;
    } else if (cur_.type == Token::Type::kWord) {
      const char* b = cur_.text.data();
      const char* e = b + cur_.text.size();
      auto [p, ec] = std::from_chars(b, e, n.slot);
      if (ec != std::errc() || p != e) return error("'leaf', 'root' or a certificate index");
    } else {
      return error("'leaf', 'root' or a certificate index");
    }
    advance();
    if (cur_.type != Token::Type::kBracket) return error("'[field.OID]' or '[subject.NAME]'");
    std::string key = cur_.text;
    size_t keyOffset = cur_.offset;
    advance();
    if (key.rfind("field.", 0) == 0) {
      n.name = key.substr(6);
      if (!validOid(n.name)) {
        cur_.offset = keyOffset;
        cur_.text = key;
        cur_.type = Token::Type::kBracket;
        return error("a dotted numeric OID after 'field.'");
      }
      if (!isWord("exists")) return error("'exists' after a certificate field");
      advance();
      return make(std::move(n));
    }
    if (key.rfind("subject.", 0) == 0) {
      n.name = key.substr(8);
      bool known = false;
      for (const auto& f : kSubjectFields) known = known || f == n.name;
      if (!known) {
        cur_.offset = keyOffset;
        cur_.text = key;
        cur_.type = Token::Type::kBracket;
        return error("a subject field (CN, OU, O, C, L, ST, emailAddress)");
      }
      if (isWord("exists")) {
        advance();
        n.kind = Node::Kind::kSubjectExists;
        return make(std::move(n));
      }
      if (!isPunct("=")) return error("'exists' or '=' after a subject field");
      advance();
      n.kind = Node::Kind::kSubjectEquals;
      if (!takeValue(&n.value)) return error("a quoted or bare value");
      return make(std::move(n));
    }
    cur_.offset = keyOffset;
    cur_.text = key;
    cur_.type = Token::Type::kBracket;
    return error("'[field.OID]' or '[subject.NAME]'");
  }

  static bool validOid(const std::string& oid) {
    int arcs = 0;
    size_t i = 0;
    while (i < oid.size()) {
      size_t j = i;
      while (j < oid.size() && std::isdigit(static_cast<unsigned char>(oid[j]))) ++j;
      if (j == i) return false;
      ++arcs;
      if (j == oid.size()) break;
      if (oid[j] != '.') return false;
      i = j + 1;
      if (i == oid.size()) return false;
    }
    return arcs >= 2;
  }

  NodePtr parseCdhash() {
    advance();
    if (cur_.type != Token::Type::kHash) return error("H\"<64 hex digits>\" after 'cdhash'");
    Node n{Node::Kind::kCdhash};
    if (!fromHex(cur_.text, &n.hash) || n.hash.size() != 32) return error("64 hex digits in the cdhash");
    advance();
    return make(std::move(n));
  }

  const std::string& s_;
  int depth_ = 0;
  int nodes_ = 0;
  size_t pos_ = 0;
  Token cur_;
  std::string message_;
};

X509* certificateAt(const RequirementContext& c, int slot) {
  if (!c.chain || c.chain->empty()) return nullptr;
  long size = static_cast<long>(c.chain->size());
  long i = slot >= 0 ? slot : size + slot;
  if (i < 0 || i >= size) return nullptr;
  return (*c.chain)[static_cast<size_t>(i)].get();
}

bool eval(const Node& n, const RequirementContext& c) {
  bool signedCode = c.chain && !c.chain->empty();
  switch (n.kind) {
    case Node::Kind::kAnd: return eval(*n.left, c) && eval(*n.right, c);
    case Node::Kind::kOr: return eval(*n.left, c) || eval(*n.right, c);
    case Node::Kind::kNot: return !eval(*n.left, c);
    case Node::Kind::kIdentifier: return c.identifier == n.value;
    case Node::Kind::kAnchorVendor: return signedCode && c.anchorIsVendor;
    case Node::Kind::kAnchorTrusted: return signedCode && c.anchorIsTrusted;
    case Node::Kind::kCdhash: return !c.cdhash.empty() && c.cdhash == n.hash;
    case Node::Kind::kFieldExists: {
      X509* cert = certificateAt(c, n.slot);
      return cert && hasExtension(cert, n.name);
    }
    case Node::Kind::kSubjectExists: {
      X509* cert = certificateAt(c, n.slot);
      return cert && !subjectValues(cert, n.name).empty();
    }
    case Node::Kind::kSubjectEquals: {
      X509* cert = certificateAt(c, n.slot);
      if (!cert) return false;
      for (const auto& v : subjectValues(cert, n.name))
        if (v == n.value) return true;
      return false;
    }
  }
  return false;
}

std::string slotText(int slot) {
  if (slot == 0) return "leaf";
  if (slot == -1) return "root";
  return std::to_string(slot);
}

// Appending instead of "(" + t + ")": GCC 12 at -O3 reports a bogus
// -Wrestrict overlap for a literal prepended to a returned string.
std::string parenthesised(const std::string& t) {
  std::string out;
  out.reserve(t.size() + 2);
  out += '(';
  out += t;
  out += ')';
  return out;
}

// `context`: 0 top level or inside parentheses, 1 operand of "and", 2 operand of "!".
std::string print(const Node& n, int context) {
  switch (n.kind) {
    case Node::Kind::kOr: {
      std::string t = print(*n.left, 0) + " or " + print(*n.right, 0);
      return context > 0 ? parenthesised(t) : t;
    }
    case Node::Kind::kAnd: {
      std::string t = print(*n.left, 1) + " and " + print(*n.right, 1);
      return context > 1 ? parenthesised(t) : t;
    }
    case Node::Kind::kNot: {
      std::string t = "!";
      t += print(*n.left, 2);
      return t;
    }
    case Node::Kind::kIdentifier: return "identifier " + quoteRequirementString(n.value);
    case Node::Kind::kAnchorVendor: return "anchor apple generic";
    case Node::Kind::kAnchorTrusted: return "anchor trusted";
    case Node::Kind::kCdhash: return "cdhash H\"" + toHex(n.hash) + "\"";
    case Node::Kind::kFieldExists: return "certificate " + slotText(n.slot) + "[field." + n.name + "] exists";
    case Node::Kind::kSubjectExists: return "certificate " + slotText(n.slot) + "[subject." + n.name + "] exists";
    case Node::Kind::kSubjectEquals:
      return "certificate " + slotText(n.slot) + "[subject." + n.name + "] = " + quoteRequirementString(n.value);
  }
  return "";
}

}  // namespace

std::string quoteRequirementString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

bool Requirement::parse(const std::string& text, Requirement* out, std::string* error) {
  if (text.size() > kMaxRequirementText) {
    *error = "requirement longer than " + std::to_string(kMaxRequirementText) + " bytes";
    return false;
  }
  Parser parser(text);
  NodePtr root = parser.parseAll();
  if (!root) {
    *error = parser.message().empty() ? "empty requirement" : parser.message();
    return false;
  }
  out->root_ = std::move(root);
  return true;
}

bool Requirement::evaluate(const RequirementContext& context) const { return root_ && eval(*root_, context); }

std::string Requirement::text() const { return root_ ? print(*root_, 0) : ""; }

}  // namespace qlsign
