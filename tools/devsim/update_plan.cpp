// The update's flash layout as the simulated device numbers it.
#include "devsim/update_plan.h"

namespace fen::devsim {

namespace {
std::vector<PlanRow> MakePlan() {
  std::vector<PlanRow> rows = {
      {1, false, 0x0EF000, 0x001000, 0, -1}, {2, false, 0x000000, 0x040000, 0, -1},
      {3, true, 0x000000, 0x040000, 136, 0}, {4, false, 0x3FD000, 0x003000, 0, -1},
      {5, true, 0x3FD000, 0x003000, 133, 0}, {6, false, 0x0F0000, 0x2C7000, 0, -1},
      {7, true, 0x0F0000, 0x2C7000, 137, 0}, {8, false, 0x040000, 0x0B0000, 0, -1},
      {9, true, 0x040000, 0x0B0000, 129, 0},
  };
  int next = 0;
  for (PlanRow& row : rows) {
    if (!row.write) continue;
    row.first_block = next;
    next += static_cast<int>(row.size / kPlanBlockLength);
  }
  return rows;
}
}  // namespace

const std::vector<PlanRow>& UpdatePlan() {
  static const std::vector<PlanRow> plan = MakePlan();
  return plan;
}

int PlanBlockCount() {
  int count = 0;
  for (const PlanRow& row : UpdatePlan()) {
    if (row.write) count += static_cast<int>(row.size / kPlanBlockLength);
  }
  return count;
}

int BlockNumberOf(std::uint32_t address) {
  for (const PlanRow& row : UpdatePlan()) {
    if (!row.write || address < row.address || address - row.address >= row.size) continue;
    const std::uint32_t offset = address - row.address;
    if (offset % kPlanBlockLength != 0) return -1;
    return row.first_block + static_cast<int>(offset / kPlanBlockLength);
  }
  return -1;
}

bool BlockLocation(int block, const PlanRow** row, std::uint32_t* offset) {
  for (const PlanRow& r : UpdatePlan()) {
    if (!r.write) continue;
    const int count = static_cast<int>(r.size / kPlanBlockLength);
    if (block >= r.first_block && block < r.first_block + count) {
      *row = &r;
      *offset = static_cast<std::uint32_t>(block - r.first_block) * kPlanBlockLength;
      return true;
    }
  }
  return false;
}

int EraseStepOf(std::uint32_t address, std::uint32_t size) {
  for (const PlanRow& row : UpdatePlan()) {
    if (!row.write && row.address == address && row.size == size) return row.step;
  }
  return -1;
}

}  // namespace fen::devsim
