#include "repair/run.h"

namespace torvane::repair {

const char* const kCaption = "提示";
const char* const kSelectItemText = "请选择一个修复项";
const char* const kReportHeader = "以下项被修复\r\n";
const char* const kFailedHeader = "以下项修复失败\r\n";
const char* const kNothingRepaired = "没有需要修复的项";
const char* const kManagedHeader = "以下项由组策略设置，未修改：\r\n";
const char* const kManagedLine = "此项由组策略设置：";
const char* const kNoUndoText = "无法保存撤销备份，没有修改任何项：\r\n";

namespace {
constexpr const char* kLineEnd = "\r\n";
}  // namespace

RunFlags::RunFlags() {
  // An undetermined first image hijack check leaves item 3 healthy.
  m_healthy.fill(1);
  m_ticked.fill(0);
  m_repaired.fill(0);
  m_failed.fill(0);
}

RunMessage RunRepairs(RepairEngine& engine, RunFlags& flags, RunTexts& texts,
                      const TickState& ticked) {
  flags.m_healthy.fill(1);
  flags.m_ticked.fill(0);
  flags.m_repaired.fill(0);
  flags.m_failed.fill(0);
  bool any_ticked = false;
  for (int i = 0; i < kItemCount; ++i) {
    if (!ticked[i]) continue;
    any_ticked = true;
    flags.m_ticked[i] = 1;
    switch (engine.ApplyRepair(i)) {
      case RepairOutcome::kRepaired:
        flags.m_repaired[i] = 1;
        flags.m_healthy[i] = 1;
        break;
      case RepairOutcome::kFailed:
        flags.m_failed[i] = 1;
        break;
      case RepairOutcome::kNothingToDo:
        break;
    }
  }
  if (!any_ticked) return RunMessage{true, kSelectItemText};
  const bool reported = ComposeRepairReport(flags, ticked, texts);
  return RunMessage{false, reported ? texts.m_reportText : texts.m_noRepairText};
}

bool ComposeRepairReport(const RunFlags& flags, const TickState& ticked, RunTexts& texts, const ItemBytes* managed) {
  std::string repaired, failed, left;
  for (int i = 0; i < kItemCount; ++i) {
    if (!ticked[i]) continue;
    if (flags.m_repaired[i]) repaired.append(Item(i).name).append(kLineEnd);
    if (flags.m_failed[i]) failed.append(Item(i).name).append(kLineEnd);
    if (managed != nullptr && (*managed)[i]) left.append(Item(i).name).append(kLineEnd);
  }
  texts.m_reportText.clear();
  if (!repaired.empty()) texts.m_reportText.append(kReportHeader).append(repaired);
  if (!failed.empty()) texts.m_reportText.append(kFailedHeader).append(failed);
  if (!left.empty()) texts.m_reportText.append(kManagedHeader).append(left);
  texts.m_noRepairText = kNothingRepaired;
  return !texts.m_reportText.empty();
}

}  // namespace torvane::repair
