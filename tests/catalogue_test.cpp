// The catalogue's texts are the program's GBK bytes, with the small
// irregularities the user sees kept as they are.
#include <gtest/gtest.h>

#include <iterator>

#include "repair/catalogue.h"
#include "support/text.h"

namespace torvane::testing {
namespace {

using repair::Item;

// The numbers are published (--ignore in scripts, the JSON, backups): each
// names the same item in the same group whatever items come after, and an
// item's group is its own, not a range of numbers.
TEST(Catalogue, EachPublishedNumberKeepsItsItemAndGroup) {
  struct Published {
    const char* name;  // tree label and report line
    int group;
  };
  constexpr int kSystem = repair::kSystemGroup, kIe = repair::kIeGroup;
  const Published published[] = {
      {"任务管理器(TaskMgr)", kSystem}, {"注册表(Regedit)", kSystem},     {"命令提示符", kSystem},
      {"映像劫持检测", kSystem},        {"运行菜单", kSystem},            {"桌面右键菜单", kSystem},
      {"关闭系统按纽", kSystem},        {"注销按纽", kSystem},            {"WINDOWS自动更新", kSystem},
      {"隐藏文件的显示", kSystem},      {"UserInit", kSystem},            {"组策略", kSystem},
      {"Shell启动项", kSystem},         {"AppInit_DLLs", kSystem},        {"文件夹选项菜单", kSystem},
      {"Internet选项被禁用", kIe},      {"文件夹选项被隐藏", kIe},        {"IE右键菜单", kIe},
      {"IE查看源文件", kIe},            {"IE主页被锁定", kIe},            {"IE标题栏", kIe},
      {"IE URL缺省前缀", kIe},          {"IE 网络协议前缀", kIe}};
  ASSERT_GE(repair::kItemCount, static_cast<int>(std::size(published)));
  for (int i = 0; i < static_cast<int>(std::size(published)); ++i) {
    EXPECT_EQ(Item(i).index, i);
    EXPECT_EQ(Item(i).name, Gbk(published[i].name)) << i;
    EXPECT_EQ(Item(i).group, published[i].group) << i;
    EXPECT_EQ(repair::GroupOf(i), published[i].group) << i;
  }
  for (int i = 0; i < repair::kItemCount; ++i) EXPECT_EQ(repair::GroupOf(i), Item(i).group) << i;
  EXPECT_STREQ(repair::Group(repair::kSystemGroup).key, "system");
  EXPECT_STREQ(repair::Group(repair::kIeGroup).key, "ie");
}

TEST(Catalogue, GroupsCarryTheirLabelsDataAndDescriptions) {
  EXPECT_EQ(repair::Group(0).label, Gbk("系统修复项"));
  EXPECT_EQ(repair::Group(1).label, Gbk("IE修复项目"));
  EXPECT_EQ(repair::Group(0).item_data, 100);
  EXPECT_EQ(repair::Group(1).item_data, 101);
  EXPECT_EQ(repair::Group(1).description,
            Gbk("\r\n\r\n名称:\r\nIE修复项\r\n\r\n描述:\r\nIE关键项检测及修复"));
}

TEST(Catalogue, DescriptionsKeepTheirOwnLayout) {
  for (int i = 0; i < repair::kItemCount; ++i) {
    EXPECT_EQ(std::string(Item(i).description).rfind(Gbk("\r\n\r\n名称:\r\n"), 0), 0u) << i;
  }
  EXPECT_EQ(Item(6).description,
            Gbk("\r\n\r\n名称:\r\n关闭系统按钮\r\n\r\n描述:控制是否在开始菜单中显示“关闭”按钮，"
                "该项损坏则系统中可能存在恶意程序或病毒。"));
  EXPECT_EQ(Item(15).description,
            Gbk("\r\n\r\n名称:\r\nInternet选项被禁用\r\n描述\r\n\r\n:控制是否启用Internet选项，"
                "该项损坏则无法打开Internet选项。"));
  EXPECT_EQ(Item(17).description,
            Gbk("\r\n\r\n名称:\r\nIE右键菜单\r\n描述:\r\n\r\n控制IE右键菜单是否可用。"
                "该项损坏则在IE中点击右键没有响应."));
  EXPECT_EQ(Item(21).description,
            Gbk("\r\n\r\n名称:\r\nIE URL缺省前缀\r\n描述:\r\n\r\nURL缺省前缀为“http：//”，"
                "一般情况下不能被破坏。"));
  EXPECT_EQ(Item(22).description,
            Gbk("\r\n\r\n名称:\r\nIE网络协议前缀\r\n描述:\r\n\r\nIE网络协议前缀，"
                "某些恶意程序利用该功能使IE上网时链接恶意网站。该项损坏则系统中可能存在恶意程序。"));
}

TEST(Catalogue, ItemDataNamesAnItemAGroupOrNothing) {
  using Kind = repair::TreeNodeRef::Kind;
  const auto is = [](long data, Kind kind, int index) {
    const repair::TreeNodeRef node = repair::NodeOfItemData(data);
    return node.kind == kind && (kind == Kind::kNone || node.index == index);
  };
  EXPECT_TRUE(is(0, Kind::kItem, 0));
  EXPECT_TRUE(is(22, Kind::kItem, 22));
  EXPECT_TRUE(is(100, Kind::kGroup, repair::kSystemGroup));
  EXPECT_TRUE(is(101, Kind::kGroup, repair::kIeGroup));
  EXPECT_TRUE(is(repair::kItemCount, Kind::kNone, 0));
  EXPECT_TRUE(is(-1, Kind::kNone, 0));
  EXPECT_TRUE(is(99, Kind::kNone, 0));
  EXPECT_TRUE(is(102, Kind::kNone, 0));
}

}  // namespace
}  // namespace torvane::testing
