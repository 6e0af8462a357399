// The repair items and their two groups: names, descriptions, groups.
// Source text is UTF-8; the library is compiled with -fexec-charset=GBK, so
// these literals are the program's GBK bytes.
#include "repair/catalogue.h"

#include <iterator>

namespace torvane::repair {

namespace {

constexpr RepairItem kItems[] = {
    {0, kSystemGroup, "任务管理器(TaskMgr)",
     "\r\n\r\n名称:\r\n任务管理器(TaskMgr)\r\n\r\n描述:\r\n控制是否在系统中启用任务管理器，如果被禁用则无法打开任务管理器"},  // Task Manager
    {1, kSystemGroup, "注册表(Regedit)",
     "\r\n\r\n名称:\r\n注册表编辑器(Regedit)\r\n\r\n描述:\r\n控制是否启用注册表编辑器，如果该项被禁用，则无法打开注册表编辑器"},  // Registry Editor
    {2, kSystemGroup, "命令提示符",
     "\r\n\r\n名称:\r\n命令提示符\r\n\r\n描述:\r\n通过在运行中输入“cmd”或者直接在菜单中打开命令提示符，以便运行某些命令行程序，例如运行常见的BAT批处理命令等。如果被破坏则无法进行命令行操作，无法运行BAT文件等。"},  // command prompt
    {3, kSystemGroup, "映像劫持检测",
     "\r\n\r\n名称:\r\n映像劫持检测\r\n\r\n描述:\r\n某些恶意程序会通过此项来劫持可执行程序使其无法启动或者利用映像劫持来启动自身，例如劫持杀毒软件的进程，使杀毒软件无法启动等。"},  // image hijacking of security tools
    {4, kSystemGroup, "运行菜单",
     "\r\n\r\n名称:\r\n运行菜单\r\n\r\n描述:\r\n控制是否在开始菜单中显示“运行”菜单，某些恶意程序会修改此项达到屏蔽运行菜单的目的。"},  // Run entry of the Start menu
    {5, kSystemGroup, "桌面右键菜单",
     "\r\n\r\n名称:\r\n桌面右键菜单\r\n\r\n描述:\r\n控制桌面右键菜单是否可用。该项损坏则在桌面上点击右键没有响应。"},  // desktop context menu
    {6, kSystemGroup, "关闭系统按纽",
     "\r\n\r\n名称:\r\n关闭系统按钮\r\n\r\n描述:控制是否在开始菜单中显示“关闭”按钮，该项损坏则系统中可能存在恶意程序或病毒。"},  // shut-down button of the Start menu
    {7, kSystemGroup, "注销按纽",
     "\r\n\r\n名称:\r\n注销按钮\r\n\r\n描述:\r\n控制是否在开始菜单中显示“注销”按钮，该项损坏则系统中可能存在恶意程序或病毒。"},  // log-off button of the Start menu
    {8, kSystemGroup, "WINDOWS自动更新",
     "\r\n\r\n名称:\r\nWindows自动更新\r\n\r\n描述:\r\nWindows自动更新可以降低计算机由于没有安装系统安全补丁造成的威胁，默认情况下此项可选，某些利用了系统漏洞的恶意程序会利用此项，使用户无法进行设置。"},  // Windows automatic update
    {9, kSystemGroup, "隐藏文件的显示",
     "\r\n\r\n名称:\r\n文件夹选项中的文字显示\r\n\r\n描述:\r\n文件夹选项中的文字显示，如“显示隐藏文件”等选项，某些恶意程序会篡改该项，使用户无法正确设置。"},  // display of hidden files
    {10, kSystemGroup, "UserInit",
     "\r\n\r\n名称:\r\nUserInit\r\n描述:\r\n\r\n系统启动时执行的关键程序，该项损坏则系统可能无法正常启动。"},  // Userinit start-up program
    {11, kSystemGroup, "组策略",
     "\r\n\r\n名称:\r\n组策略\r\n描述:\r\n\r\n组策略的可用性检测，计算机管理员可以通过制订一系列的组策略来加强计算机的安全性，但是某些病毒可能会破坏此项使组策略不可用。"},  // group policy
    {12, kSystemGroup, "Shell启动项",
     "\r\n\r\n名称:\r\nShell启动项\r\n描述:\r\n\r\n控制在系统启动时随Explorer.exe加载的程序。某些恶意软件通过该项来达到开机自启动的目的。"},  // Shell start-up entry
    {13, kSystemGroup, "AppInit_DLLs",
     "\r\n\r\n名称:\r\nAppInit_DLLs\r\n描述:\r\n\r\n控制在系统启动时加载的DLL。某些恶意软件通过该项来达到开机自启动的目的。"},  // AppInit_DLLs start-up libraries
    {14, kSystemGroup, "文件夹选项菜单",
     "\r\n\r\n名称:\r\n文件夹选项菜单\r\n描述:\r\n\r\n控制文件夹选项菜单是否可用，该项损坏则无法打开文件夹选项，或者无法显示隐藏文件。"},  // Folder Options menu
    {15, kIeGroup, "Internet选项被禁用",
     "\r\n\r\n名称:\r\nInternet选项被禁用\r\n描述\r\n\r\n:控制是否启用Internet选项，该项损坏则无法打开Internet选项。"},  // Internet Options disabled
    {16, kIeGroup, "文件夹选项被隐藏",
     "\r\n\r\n名称:\r\n文件夹选项被隐藏\r\n描述\r\n\r\n:控制是否隐藏文件夹选项，该项损坏则无法显示文件夹选项。"},  // Folder Options hidden
    {17, kIeGroup, "IE右键菜单",
     "\r\n\r\n名称:\r\nIE右键菜单\r\n描述:\r\n\r\n控制IE右键菜单是否可用。该项损坏则在IE中点击右键没有响应."},  // IE context menu
    {18, kIeGroup, "IE查看源文件",
     "\r\n\r\n名称:\r\nIE查看源文件\r\n描述:\r\n\r\n控制是否启用IE的“查看源文件”功能。该项损坏则无法打开IE查看源文件菜单。"},  // IE View Source
    {19, kIeGroup, "IE主页被锁定",
     "\r\n\r\n名称:\r\nIE主页锁定\r\n描述:\r\n\r\n控制IE主页是否可以被修改，如果被锁定，则可能是恶意软件修改了IE主页，并造成主页无法被修改。"},  // IE home page locked
    {20, kIeGroup, "IE标题栏",
     "\r\n\r\n名称:\r\nIE标题栏\r\n描述:\r\n\r\n控制IE标题栏的文字显示。某些恶作剧程序会破坏此项。"},  // IE title bar text
    {21, kIeGroup, "IE URL缺省前缀",
     "\r\n\r\n名称:\r\nIE URL缺省前缀\r\n描述:\r\n\r\nURL缺省前缀为“http：//”，一般情况下不能被破坏。"},  // IE default URL prefix
    {22, kIeGroup, "IE 网络协议前缀",
     "\r\n\r\n名称:\r\nIE网络协议前缀\r\n描述:\r\n\r\nIE网络协议前缀，某些恶意程序利用该功能使IE上网时链接恶意网站。该项损坏则系统中可能存在恶意程序。"},  // IE protocol prefixes
};

static_assert(std::size(kItems) == kItemCount, "one row per item");

// A row stands at its own number, and names one of the groups; no group is
// left without items (its node would be an empty branch of the tree).
constexpr bool RowsAreNumberedAndGrouped() {
  int members[kGroupCount] = {};
  for (int i = 0; i < kItemCount; ++i) {
    if (kItems[i].index != i || kItems[i].group < 0 || kItems[i].group >= kGroupCount) return false;
    ++members[kItems[i].group];
  }
  for (int count : members) {
    if (count == 0) return false;
  }
  return true;
}
static_assert(RowsAreNumberedAndGrouped(), "each row at its number, in a group, and no group empty");

constexpr ItemGroup kGroups[kGroupCount] = {
    {"系统修复项", kSystemGroupData, "\r\n\r\n名称:\r\n系统修复项\r\n\r\n描述:\r\n系统关键位置检测及修复", "system"},
    {"IE修复项目", kIeGroupData, "\r\n\r\n名称:\r\nIE修复项\r\n\r\n描述:\r\nIE关键项检测及修复", "ie"},
};

}  // namespace

const RepairItem& Item(int index) { return kItems[index]; }
const ItemGroup& Group(int group) { return kGroups[group]; }
int GroupOf(int index) { return kItems[index].group; }

TreeNodeRef NodeOfItemData(long data) {
  if (IsItemIndex(data)) return {TreeNodeRef::Kind::kItem, static_cast<int>(data)};
  for (int g = 0; g < kGroupCount; ++g) {
    if (data == kGroups[g].item_data) return {TreeNodeRef::Kind::kGroup, g};
  }
  return {};
}

}  // namespace torvane::repair
