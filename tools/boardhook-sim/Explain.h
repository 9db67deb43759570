// Explanations of the report's events, drawn from what the firmware read and
// called between one event and the one before: per root port what Hook4
// read and where each MAC entry came from, per suppressed setup item and per
// reset the reads that led to it, the trap's code by its condition, and in
// the PEI phase the status of each notification and the calls that failed.
// The tool describes the records; it does not decide anything the firmware
// decides.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Board.h"
#include "PeiJob.h"
#include "SimJson.h"

namespace sim {
class DxeCore;
class Machine;
class PcdDatabase;
struct RunOutcome;
}  // namespace sim

namespace bootsim {

// Known objects an address may point into, so that it can be shown as
// "01:00.0+0x19" (configuration space through ECAM) or "name+0x10" (an
// image, a pool block, a device's BAR window).
class AddressMap {
 public:
  AddressMap(uint64_t ecamBase, uint64_t ecamSize);
  void AddArea(uint64_t base, uint64_t size, std::string name);
  // The area (not configuration space) holding the address, and where in it.
  bool Locate(uint64_t address, std::string &name, uint64_t &offset) const;
  // The symbolic form, or empty where the address lies in no known object.
  std::string Symbol(uint64_t address) const;
  // The address in hexadecimal, with its symbolic form in parentheses.
  std::string Describe(uint64_t address) const;

 private:
  struct Area {
    uint64_t base;
    uint64_t size;
    std::string name;
  };
  uint64_t ecamBase_;
  uint64_t ecamSize_;
  std::vector<Area> areas_;
};

// The condition a fatal-error code stands for; empty for an unknown code.
std::string TrapCondition(uint32_t code);

// A moment of the DXE phase: how far each record had grown.
struct RecordPosition {
  size_t trace = 0;  // hardware-access records
  size_t pcd = 0;    // configuration-database accesses
  size_t calls = 0;  // DXE core service calls
};

// Marks taken while the DXE phase runs; ExplainDxe turns them into the
// explanations once it has ended.
class DxeTimeline {
 public:
  DxeTimeline(sim::Machine &machine, sim::PcdDatabase &pcd, sim::DxeCore &core);

  RecordPosition Now() const;
  // The platform starts a step of its own (the entry, the trigger, Hook4,
  // ...): reads before it led to nothing after it.
  void StepStarts() { steps_.push_back(Now()); }
  // Called with every access of the configuration database.
  void TokenAccessed();
  // Called with every SuppressItem call, before it is recorded.
  void ItemSuppressed() { suppressions_.push_back(Now()); }
  // Hook4 runs with these buffers (the first list at byte 3, the second at
  // byte 0); their contents are kept at every token access until Hook4Ends.
  void Hook4Starts(const std::vector<uint8_t> &first, const std::vector<uint8_t> &second);
  void Hook4Ends();

 private:
  friend Json ExplainDxe(const DxeTimeline &, const sim::RunOutcome &, const AddressMap &);
  struct ListSnapshot {
    RecordPosition at;
    std::vector<uint8_t> first, second;
  };
  void Snapshot();

  sim::Machine &machine_;
  sim::PcdDatabase &pcd_;
  sim::DxeCore &core_;
  size_t firstPcd_;  // the DXE phase's first access (the PEI phase's come before)
  std::vector<RecordPosition> steps_;
  std::vector<RecordPosition> tokenAccesses_;  // position after each, by index from firstPcd_
  std::vector<RecordPosition> suppressions_;
  const std::vector<uint8_t> *firstList_ = nullptr;
  const std::vector<uint8_t> *secondList_ = nullptr;
  std::vector<ListSnapshot> lists_;
  RecordPosition hook4Start_, hook4End_;
  bool hook4Ran_ = false;
};

// The DXE phase's explanations: root_ports (Hook4), suppressed (one per
// SuppressItem call), reset and trap (null when there was none).
Json ExplainDxe(const DxeTimeline &timeline, const sim::RunOutcome &outcome,
                const AddressMap &addresses);

// The PEI phase's: the entry's status and the calls that failed in it, each
// notification's status and the calls that failed in it, and failed calls
// outside both.
Json ExplainPei(const PeiRecord &record);

}  // namespace bootsim
