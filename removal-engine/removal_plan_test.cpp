#include "removal-engine/removal_plan.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quillfen {
namespace {

Array Names(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return array;
}

// A refusal throws: the test runner fails the test with the refusal's text,
// where using the missing plan would crash the whole run.
RemovalPlan PlanFor(Dictionary request) {
  if (!request.contains("volumePath")) request["volumePath"] = Value("/v");
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
  if (!reading) {
    throw std::runtime_error("the request was refused: " +
                             reading.error().message);
  }
  return std::move(*reading);
}

std::string RefusalFor(Dictionary request) {
  Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
  EXPECT_FALSE(reading.ok());
  return reading.ok() ? std::string() : reading.error().message;
}

// Entries without "*" are names, taken literally; the keep list stops
// exact hits only; empty entries select nothing.
TEST(RemovalPlanTest, ExactNamesAreLiteralAndOnlyWildcardsOutrankKeep) {
  RemovalPlan plan = PlanFor(
      {{"fileRemovalArray",
        Value(Names({"file(1).txt", "a.b", "bad(*", "Thumbs*", "kept", ""}))},
       {"extensionsArray", Value(Names({".log", "t?mp*", ""}))},
       {"fileKeepArray", Value(Names({"Thumbs.db", "x.tmp", "kept"}))}});
  for (const char* name : {"file(1).txt", "a.b", "Thumbs.db", "x.tmp"}) {
    EXPECT_TRUE(plan.Selects(name)) << name;
  }
  for (const char* name :
       {"file1.txt", "aXb", "x.log", "kept", "bad(", "Makefile"}) {
    EXPECT_FALSE(plan.Selects(name)) << name;
  }
  EXPECT_FALSE(PlanFor({{"fileRemovalArray", Value(Names({""}))},
                        {"extensionsArray", Value(Names({""}))}})
                   .HasRules());
}

TEST(RemovalPlanTest, AppleDoubleAcceptsBooleansAndNumbers) {
  EXPECT_FALSE(PlanFor({}).apple_double());
  EXPECT_TRUE(PlanFor({{"appleDouble", Value(true)}}).apple_double());
  EXPECT_FALSE(PlanFor({{"appleDouble", Value(0)}}).apple_double());
  EXPECT_TRUE(PlanFor({{"appleDouble", Value(0.5)}}).apple_double());
  EXPECT_FALSE(PlanFor({{"appleDouble", Value(true)}}).HasRules());
}

// The AppleDouble rule answers alike for a name the walk meets and for a
// path find lists: asked for, a "._" name, and not kept.
TEST(RemovalPlanTest, AppleDoubleItemsGoUnlessKeptWalkedOrListed) {
  RemovalPlan plan = PlanFor({{"appleDouble", Value(true)},
                              {"fileKeepArray", Value(Names({"._kept"}))}});
  EXPECT_TRUE(plan.Selects("._a") && plan.SelectsListed("._kept/._a"));
  EXPECT_FALSE(plan.Selects("._kept") || plan.SelectsListed("d/._kept"));
  EXPECT_FALSE(plan.Selects("a._b"));
  RemovalPlan off = PlanFor({{"fileKeepArray", Value(Names({"._kept"}))}});
  EXPECT_FALSE(off.Selects("._a") || off.SelectsListed("d/._a"));
}

TEST(RemovalPlanTest, BadRequestsAreRefusedNamingWhatIsWrong) {
  struct Case {
    const char* key;
    Value value;
    const char* says;
  };
  for (const Case& c :
       {Case{"appleDouble", Value("yes"), "appleDouble"},
        Case{"fileKeepArray", Value(Array{Value(1)}), "fileKeepArray"},
        Case{"extensionsArray", Value(Dictionary{}), "extensionsArray"},
        Case{"fileRemovalArray", Value(true), "fileRemovalArray"},
        Case{"volumePath", Value("relative/path"), "absolute"},
        Case{"volumePath", Value(std::string("/v\0x", 4)), "NUL"}}) {
    Dictionary request{{"volumePath", Value("/v")}};
    request[c.key] = c.value;
    EXPECT_NE(RefusalFor(request).find(c.says), std::string::npos) << c.key;
  }
  // Without a string "volumePath" there is nothing to say: the empty reply.
  EXPECT_EQ(RefusalFor({{"volumePath", Value(7)}}), "");
}

}  // namespace
}  // namespace quillfen
