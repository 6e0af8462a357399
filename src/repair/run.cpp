#include "repair/run.h"

#include "registry/names.h"
#include "repair/item_rows.h"

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

bool SamePlace(const Place& a, const Place& b) {
  return a.key != nullptr && b.key != nullptr && a.value != nullptr && b.value != nullptr && a.root == b.root &&
         registry::NamesEqual(a.key, b.key) && registry::NamesEqual(a.value, b.value);
}

// Whether the repairs of `a` and `b` change a value in common: the one that
// runs first may mend the other.
bool SharePlace(int a, int b) {
  for (const Place& left : kItemRows[a].places) {
    for (const Place& right : kItemRows[b].places) {
      if (SamePlace(left, right)) return true;
    }
  }
  return false;
}
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
  // A ticked item whose value an earlier ticked item changes too (items 14
  // and 16 share theirs) may be mended before its own turn: whether it was
  // damaged is read before anything changes, so that it is still reported
  // repaired when it then reads healthy.
  ItemBytes damaged_before{};
  for (int i = 0; i < kItemCount; ++i) {
    if (!ticked[i]) continue;
    for (int earlier = 0; earlier < i; ++earlier) {
      if (!ticked[earlier] || !SharePlace(i, earlier)) continue;
      damaged_before[i] = !engine.CheckItem(i) && engine.Unread(i).empty();
      break;
    }
  }
  bool any_ticked = false;
  for (int i = 0; i < kItemCount; ++i) {
    if (!ticked[i]) continue;
    any_ticked = true;
    flags.m_ticked[i] = 1;
    RepairOutcome outcome = engine.ApplyRepair(i);
    if (outcome == RepairOutcome::kNothingToDo && damaged_before[i] && engine.CheckItem(i)) {
      outcome = RepairOutcome::kRepaired;
    }
    switch (outcome) {
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
