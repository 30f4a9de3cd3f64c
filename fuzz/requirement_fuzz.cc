// Requirement texts come from signatures (a nested code's designated
// requirement is stored in its parent's seal), so a signer chooses them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codesign/requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  qlsign::Requirement req;
  std::string error;
  if (!qlsign::Requirement::parse(text, &req, &error)) return 0;
  // The canonical text parses to an equivalent requirement, whose canonical
  // text is the same again.
  std::string canonical = req.text();
  qlsign::Requirement again;
  if (!qlsign::Requirement::parse(canonical, &again, &error)) __builtin_trap();
  if (again.text() != canonical) __builtin_trap();
  // Evaluating against an unsigned context must not crash, and must agree.
  qlsign::RequirementContext context;
  context.identifier = "com.talvoria.quillmark";
  if (req.evaluate(context) != again.evaluate(context)) __builtin_trap();
  return 0;
}
