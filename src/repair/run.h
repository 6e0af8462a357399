// The repair run behind "修复选中项": which items are repaired, in what
// order, and the one message that tells the user what happened.
#pragma once

#include <array>
#include <string>

#include "repair/engine.h"

namespace torvane::repair {

// The per-item flags the owner of a run keeps between runs.
struct RunFlags {
  ItemBytes m_healthy;   // 1 healthy at the last scan (or set by the run)
  ItemBytes m_ticked;    // 1 the leaf was ticked when the last run looked
  ItemBytes m_repaired;  // 1 every change the last run issued for it took
  ItemBytes m_failed;    // 1 the last run had a change of it refused

  RunFlags();
};

using TickState = std::array<bool, kItemCount>;

// The report of the last run in which a leaf was ticked.
struct RunTexts {
  std::string m_reportText;
  std::string m_noRepairText;
};

// What the message box of a run shows.
struct RunMessage {
  bool nothing_ticked = false;
  std::string text;
};

// Resets the flags, applies the repair of every ticked item in index order
// and returns the text of the run's one message box. The caller shows it,
// then rescans. A ticked item that was damaged and reads healthy after an
// earlier item's change mended its place counts as repaired too.
RunMessage RunRepairs(RepairEngine& engine, RunFlags& flags, RunTexts& texts,
                      const TickState& ticked);

// Fills the report texts from the flags; true when something was reported
// (an item repaired or an item failed, or a ticked item in `managed`: left
// alone because Group Policy set it).
bool ComposeRepairReport(const RunFlags& flags, const TickState& ticked, RunTexts& texts,
                         const ItemBytes* managed = nullptr);

// The texts of the run (GBK).
extern const char* const kCaption;           // "提示"
extern const char* const kSelectItemText;    // "请选择一个修复项"
extern const char* const kReportHeader;      // "以下项被修复\r\n"
extern const char* const kFailedHeader;      // "以下项修复失败\r\n"
extern const char* const kNothingRepaired;   // "没有需要修复的项"
extern const char* const kManagedHeader;     // "以下项由组策略设置，未修改：\r\n"
extern const char* const kManagedLine;       // "此项由组策略设置：" (then the policy's name)
// Before a repair whose undo cannot be written (then the reason).
extern const char* const kNoUndoText;        // "无法保存撤销备份，没有修改任何项：\r\n"

}  // namespace torvane::repair
