#include "integrity/seed_decision.h"


#include <gtest/gtest.h>

namespace ql::seeding {
namespace {

TEST(SeedDecision, FirstHoldingTestDecides) {
  const std::string v = "1.4.2";
  struct Row {
    const char* name;
    SeedFacts facts;
    bool seed;
  } table[] = {
      {"everything current", {true, false, true, v, v}, false},
      {"home did not exist, even with a matching marker", {false, false, true, v, v}, true},
      {"reseed requested", {true, true, true, v, v}, true},
      {"seeded binary missing or not executable", {true, false, false, v, v}, true},
      {"development bundle", {true, false, true, "dev", std::string("dev")}, true},
      {"marker absent", {true, false, true, v, std::nullopt}, true},
      {"marker of another version", {true, false, true, v, std::string("1.4.1")}, true},
      {"marker with a trailing newline", {true, false, true, v, v + "\n"}, true},
      {"marker with leading blank", {true, false, true, v, " " + v}, true},
      {"marker empty", {true, false, true, v, std::string()}, true},
      {"empty bundle version matches empty marker", {true, false, true, "", std::string()}, false},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(seedNeeded(row.facts), row.seed);
  }
}

}  // namespace
}  // namespace ql::seeding
