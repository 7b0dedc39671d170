#include <gtest/gtest.h>

#include "common/Configuration.h"

namespace {

using Configuration::Tree;

struct ParameterCase {
  const char* text;
  std::vector<std::pair<const char*, const char*>> present;
  std::vector<const char*> absent;
};

TEST(ParameterString, AppliesOnlyPiecesWithExactlyOneEquals) {
  const std::vector<ParameterCase> cases = {
      {"a=1;b;c=2=3;d=", {{"a", "1"}, {"d", ""}}, {"b", "c"}},
      {"", {{"device", "bsmain"}}, {}},
      {";;;", {{"device", "bsmain"}}, {}},
      {"device=usbcu;com=3", {{"device", "usbcu"}, {"com", "3"}}, {}},
      {"com=3;com=4", {{"com", "4"}}, {}},
      {"outer.inner=5", {{"outer.inner", "5"}}, {"outer.inner.x"}},
      {"com==3", {{"com", "12"}}, {}},
  };
  for (const auto& c : cases) {
    Tree tree;
    tree.put("device", "bsmain");
    tree.put("com", "12");
    Configuration::ParseParameterString(tree, c.text);
    for (const auto& [key, value] : c.present) EXPECT_EQ(tree.get<std::string>(key, "<none>"), value) << c.text;
    for (const auto* key : c.absent) EXPECT_FALSE(tree.get_optional<std::string>(key)) << c.text << " " << key;
  }
}

TEST(DeviceWords, AreTheLoweredDeviceValue) {
  Tree tree;
  EXPECT_EQ(Configuration::DeviceWords(tree), "");
  tree.put("device", "USBCU TCP QuatCalibratedT");
  EXPECT_EQ(Configuration::DeviceWords(tree), "usbcu tcp quatcalibratedt");
}

TEST(Sections, AreFoundByTheirWholeName) {
  Tree tree;
  tree.put_child(Tree::path_type("worksetnode_a.b", '\0'), Tree("x"));
  tree.put("worksetnode_1.device", "usbcu");
  ASSERT_NE(Configuration::FindSection(tree, "worksetnode_a.b"), nullptr);
  EXPECT_EQ(Configuration::FindSection(tree, "worksetnode_a.b")->data(), "x");
  ASSERT_NE(Configuration::FindSection(tree, "worksetnode_1"), nullptr);
  EXPECT_EQ(Configuration::FindSection(tree, "worksetnode_1")->get<std::string>("device"), "usbcu");
  EXPECT_EQ(Configuration::FindSection(tree, "worksetnode_2"), nullptr);
}

}  // namespace
