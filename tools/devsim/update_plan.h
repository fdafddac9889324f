// Where the update writes on the simulated device: the erase and write rows in the order a
// run sends them, and the numbering of blocks and erase steps that faults are aimed at.
#pragma once

#include <cstdint>
#include <vector>

namespace fen::devsim {

inline constexpr std::uint32_t kFlashSize = 4u * 1024 * 1024;
inline constexpr std::uint32_t kSectorSize = 4096;
inline constexpr std::uint32_t kPlanBlockLength = 2048;

struct PlanRow {
  int step;  // 1 to 9, as the updater's step counter shows it
  bool write;
  std::uint32_t address;
  std::uint32_t size;
  int resource_id;  // image written by a write row; 0 for an erase row
  int first_block;  // number of the row's first block in the whole update; -1 for an erase row
};

// The nine rows in the order a run sends them.
const std::vector<PlanRow>& UpdatePlan();

// Total number of Write Blocks in an update (1908).
int PlanBlockCount();

// Number of the block that a Write Block for `address` is in the whole update, counting the
// writes in plan order from 0; -1 for an address that no write row sends a block to.
int BlockNumberOf(std::uint32_t address);

// The write row and the offset within it of a block number; false when out of range.
bool BlockLocation(int block, const PlanRow** row, std::uint32_t* offset);

// The plan step (1, 2, 4, 6, 8) of an Erase Range for exactly this range; -1 for another range.
int EraseStepOf(std::uint32_t address, std::uint32_t size);

}  // namespace fen::devsim
