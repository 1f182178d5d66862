#include "removal-service/removal_plan.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

Array Names(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return array;
}

RemovalPlan PlanFor(Dictionary request) {
  if (!request.contains("volumePath")) request["volumePath"] = Value("/v");
  RemovalPlan::Reading reading = RemovalPlan::FromRequest(request);
  EXPECT_TRUE(reading.plan) << reading.refusal;
  return std::move(*reading.plan);
}

std::string RefusalFor(Dictionary request) {
  RemovalPlan::Reading reading = RemovalPlan::FromRequest(request);
  EXPECT_FALSE(reading.plan);
  return reading.refusal;
}

TEST(RemovalPlanTest, ExactRulesLessTheKeepList) {
  RemovalPlan plan = PlanFor(
      {{"fileRemovalArray", Value(Names({".DS_Store", "a.b", "both.txt"}))},
       {"extensionsArray", Value(Names({"tmp", ".log"}))},
       {"fileKeepArray", Value(Names({"both.txt", "keep.tmp"}))}});
  EXPECT_TRUE(plan.HasRules());
  EXPECT_TRUE(plan.Selects(".DS_Store"));
  EXPECT_TRUE(plan.Selects("a.b"));
  EXPECT_FALSE(plan.Selects("aXb"));
  EXPECT_FALSE(plan.Selects(".ds_store"));
  EXPECT_TRUE(plan.Selects("x.tmp"));
  EXPECT_FALSE(plan.Selects("x.TMP"));
  EXPECT_FALSE(plan.Selects("both.txt"));  // Named and kept: kept.
  EXPECT_FALSE(plan.Selects("keep.tmp"));
  // An extension written with its dot never matches: extensions carry none.
  EXPECT_FALSE(plan.Selects("x.log"));
  EXPECT_FALSE(plan.Selects("x..log"));
  EXPECT_TRUE(plan.Keeps("both.txt"));
}

TEST(RemovalPlanTest, WildcardsIgnoreTheKeepList) {
  RemovalPlan plan =
      PlanFor({{"fileRemovalArray", Value(Names({"Thumbs*", "file(1).txt"}))},
               {"extensionsArray", Value(Names({"t*p"}))},
               {"fileKeepArray", Value(Names({"Thumbs.db", "k.tmp"}))}});
  EXPECT_TRUE(plan.Selects("Thumbs.db"));
  EXPECT_TRUE(plan.Selects("k.tmp"));
  EXPECT_TRUE(plan.Selects("file(1).txt"));  // No "*": matched exactly.
  EXPECT_FALSE(plan.Selects("file1.txt"));
  EXPECT_FALSE(plan.Selects("thumbs.db"));
}

TEST(RemovalPlanTest, StarExtensionSelectsEveryName) {
  RemovalPlan plan = PlanFor({{"extensionsArray", Value(Names({"*"}))}});
  for (const char* name : {"a.txt", "Makefile", ".profile", "dir", "x."}) {
    EXPECT_TRUE(plan.Selects(name)) << name;
  }
}

TEST(RemovalPlanTest, EmptyEntriesSelectNothing) {
  RemovalPlan plan = PlanFor({{"fileRemovalArray", Value(Names({""}))},
                              {"extensionsArray", Value(Names({""}))}});
  EXPECT_FALSE(plan.HasRules());
  EXPECT_FALSE(plan.Selects("Makefile"));
  EXPECT_FALSE(plan.Selects("folder"));
}

TEST(RemovalPlanTest, AppleDoubleAcceptsBooleansAndNumbers) {
  EXPECT_FALSE(PlanFor({}).apple_double());
  EXPECT_TRUE(PlanFor({{"appleDouble", Value(true)}}).apple_double());
  EXPECT_FALSE(PlanFor({{"appleDouble", Value(false)}}).apple_double());
  EXPECT_TRUE(PlanFor({{"appleDouble", Value(2)}}).apple_double());
  EXPECT_FALSE(PlanFor({{"appleDouble", Value(0)}}).apple_double());
  EXPECT_TRUE(PlanFor({{"appleDouble", Value(0.5)}}).apple_double());
  EXPECT_FALSE(PlanFor({{"appleDouble", Value(true)}}).HasRules());
}

TEST(RemovalPlanTest, VolumePathIsKeptAsSentAndSpeltOnce) {
  RemovalPlan plan = PlanFor({{"volumePath", Value("//media//stick/")}});
  EXPECT_EQ(plan.volume_path(), "//media//stick/");
  EXPECT_EQ(plan.volume_spelling(), "/media/stick");
}

TEST(RemovalPlanTest, WithoutAStringVolumePathThereIsNothingToSay) {
  EXPECT_EQ(RefusalFor({}), "");
  EXPECT_EQ(RefusalFor({{"volumePath", Value(7)}}), "");
  EXPECT_EQ(RefusalFor({{"volumePath", Value(Array{})}}), "");
}

TEST(RemovalPlanTest, BadRequestsAreRefusedWithTheirReason) {
  auto with = [](const char* key, Value value) {
    return Dictionary{{"volumePath", Value("/v")}, {key, std::move(value)}};
  };
  EXPECT_NE(RefusalFor(with("appleDouble", Value("yes"))).find("appleDouble"),
            std::string::npos);
  EXPECT_NE(RefusalFor(with("fileKeepArray", Value("keep.tmp")))
                .find("fileKeepArray"),
            std::string::npos);
  EXPECT_NE(RefusalFor(with("fileKeepArray", Value(Array{Value(1)})))
                .find("fileKeepArray"),
            std::string::npos);
  EXPECT_NE(RefusalFor(with("extensionsArray", Value(Dictionary{})))
                .find("extensionsArray"),
            std::string::npos);
  EXPECT_NE(RefusalFor(with("fileRemovalArray", Value(true)))
                .find("fileRemovalArray"),
            std::string::npos);
  EXPECT_NE(
      RefusalFor({{"volumePath", Value("relative/path")}}).find("absolute"),
      std::string::npos);
  EXPECT_NE(RefusalFor({{"volumePath", Value("")}}).find("absolute"),
            std::string::npos);
  EXPECT_NE(
      RefusalFor({{"volumePath", Value(std::string("/v\0x", 4))}}).find("NUL"),
      std::string::npos);
}

}  // namespace
}  // namespace quillfen
