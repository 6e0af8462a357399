// The catalogue's texts are the program's GBK bytes, with the small
// irregularities the user sees kept as they are.
#include <gtest/gtest.h>

#include "repair/catalogue.h"
#include "support/text.h"

namespace torvane::testing {
namespace {

using repair::Item;

TEST(Catalogue, NamesAreTheLeafLabelsInIndexOrder) {
  const char* const names[repair::kItemCount] = {
      "任务管理器(TaskMgr)", "注册表(Regedit)", "命令提示符", "映像劫持检测", "运行菜单",
      "桌面右键菜单", "关闭系统按纽", "注销按纽", "WINDOWS自动更新", "隐藏文件的显示",
      "UserInit", "组策略", "Shell启动项", "AppInit_DLLs", "文件夹选项菜单",
      "Internet选项被禁用", "文件夹选项被隐藏", "IE右键菜单", "IE查看源文件", "IE主页被锁定",
      "IE标题栏", "IE URL缺省前缀", "IE 网络协议前缀"};
  for (int i = 0; i < repair::kItemCount; ++i) {
    EXPECT_EQ(Item(i).index, i);
    EXPECT_EQ(Item(i).name, Gbk(names[i])) << i;
    EXPECT_EQ(Item(i).group, i < 15 ? repair::kSystemGroup : repair::kIeGroup) << i;
  }
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
  EXPECT_TRUE(is(23, Kind::kNone, 0));
  EXPECT_TRUE(is(-1, Kind::kNone, 0));
  EXPECT_TRUE(is(99, Kind::kNone, 0));
  EXPECT_TRUE(is(102, Kind::kNone, 0));
}

}  // namespace
}  // namespace torvane::testing
