// The constant catalogue of repair items: their numbers, their groups, and
// the texts the user sees (GBK bytes).
#pragma once

namespace torvane::repair {

// The items by index: the index is the item's number everywhere (tree item
// data, tables, the command line, its JSON, scripts that ignore an item).
// Numbers are never moved or reused: a new item takes the next one, at the
// end, whichever group it joins (its group is a column of its row).
enum ItemIndex : int {
  kTaskMgrItem,             // 0
  kRegeditItem,             // 1
  kCmdItem,                 // 2
  kImageHijackItem,         // 3
  kRunMenuItem,             // 4
  kContextMenuItem,         // 5
  kCloseButtonItem,         // 6
  kLogOffButtonItem,        // 7
  kAutoUpdateItem,          // 8
  kHiddenFilesItem,         // 9
  kUserinitItem,            // 10
  kGroupPolicyItem,         // 11
  kShellItem,               // 12
  kAppInitItem,             // 13
  kFolderOptionsMenuItem,   // 14
  kIeOptionsItem,           // 15
  kIeFolderOptionsItem,     // 16
  kIeContextMenuItem,       // 17
  kIeViewSourceItem,        // 18
  kIeHomePageItem,          // 19
  kIeTitleItem,             // 20
  kIeUrlPrefixItem,         // 21
  kIeProtocolPrefixesItem,  // 22
  kItemIndexEnd,            // one past the last item; new items go above
};

inline constexpr int kItemCount = kItemIndexEnd;
inline constexpr int kGroupCount = 2;
inline constexpr int kSystemGroup = 0;
inline constexpr int kIeGroup = 1;

// Tree item data of the group nodes; leaves carry their item index.
inline constexpr int kSystemGroupData = 100;
inline constexpr int kIeGroupData = 101;

struct RepairItem {
  int index;
  int group;                // kSystemGroup or kIeGroup
  const char* name;         // tree label and report line
  const char* description;  // shown in the description pane
};

struct ItemGroup {
  const char* label;
  int item_data;
  const char* description;
  const char* key;  // its name in the command line's output: "system", "ie"
};

const RepairItem& Item(int index);  // 0 <= index < kItemCount
const ItemGroup& Group(int group);  // kSystemGroup or kIeGroup

// An item's group is the one its row names. Each group shows its items in
// index order: its leaves in the tree, its lines in the command line's scan.
int GroupOf(int index);
constexpr bool IsItemIndex(long data) { return data >= 0 && data < kItemCount; }

// What a tree node's item data names: an item (its index), a group
// (kSystemGroup or kIeGroup), or nothing of ours.
struct TreeNodeRef {
  enum class Kind { kNone, kItem, kGroup };
  Kind kind = Kind::kNone;
  int index = 0;
};
TreeNodeRef NodeOfItemData(long data);

}  // namespace torvane::repair
