#include "AccessTrace.h"

#include <cinttypes>
#include <cstdio>
#include <ostream>

namespace sim {

const char *AccessKindName(AccessKind kind) {
  switch (kind) {
    case AccessKind::IoRead:
      return "IoRead";
    case AccessKind::IoWrite:
      return "IoWrite";
    case AccessKind::MmioRead:
      return "MmioRead";
    case AccessKind::MmioWrite:
      return "MmioWrite";
    case AccessKind::MsrRead:
      return "MsrRead";
    case AccessKind::MsrWrite:
      return "MsrWrite";
    case AccessKind::RegisterRead:
      return "RegisterRead";
    case AccessKind::RegisterWrite:
      return "RegisterWrite";
    case AccessKind::CpuidBackDoor:
      return "CpuidBackDoor";
    case AccessKind::TscRead:
      return "TscRead";
    case AccessKind::Pause:
      return "Pause";
    case AccessKind::IdtBaseRead:
      return "IdtBaseRead";
    case AccessKind::DebugToolHandOver:
      return "DebugToolHandOver";
    case AccessKind::Stall:
      return "Stall";
    case AccessKind::Restart:
      return "Restart";
  }
  return "?";
}

bool IsWriteKind(AccessKind kind) {
  switch (kind) {
    case AccessKind::IoWrite:
    case AccessKind::MmioWrite:
    case AccessKind::MsrWrite:
    case AccessKind::RegisterWrite:
    case AccessKind::DebugToolHandOver:
      return true;
    default:
      return false;
  }
}

static bool MergesRepeats(AccessKind kind) {
  switch (kind) {
    case AccessKind::IoRead:
    case AccessKind::MmioRead:
    case AccessKind::MsrRead:
    case AccessKind::RegisterRead:
    case AccessKind::IdtBaseRead:
    case AccessKind::Pause:
      return true;
    default:
      return false;
  }
}

std::string TraceRecord::ToString() const {
  char text[160];
  int length =
      std::snprintf(text, sizeof text, "%12.6f ms %-17s", timeNs / 1e6, AccessKindName(kind));
  auto append = [&](const char *format, auto... values) {
    if (length >= 0 && static_cast<size_t>(length) < sizeof text) {
      length += std::snprintf(text + length, sizeof text - length, format, values...);
    }
  };
  append(" 0x%" PRIx64 " w%u = 0x%" PRIx64, address, static_cast<unsigned>(width), value);
  if (aux != 0) append(" aux 0x%" PRIx64, aux);
  if (repeat != 1) append(" x%" PRIu64, repeat);
  return text;
}

std::ostream &operator<<(std::ostream &out, const TraceRecord &record) {
  return out << record.ToString();
}

void AccessTrace::Add(const TraceRecord &record) {
  counts_[static_cast<size_t>(record.kind)]++;
  if (!records_.empty() && MergesRepeats(record.kind) && records_.back().SameAccess(record)) {
    records_.back().repeat++;
    return;
  }
  if (records_.size() >= capacity_) {
    truncated_ = true;
    return;
  }
  records_.push_back(record);
}

void AccessTrace::Clear() {
  records_.clear();
  for (auto &count : counts_) count = 0;
  truncated_ = false;
}

std::vector<TraceRecord> AccessTrace::Since(size_t from) const {
  if (from >= records_.size()) return {};
  return {records_.begin() + static_cast<std::ptrdiff_t>(from), records_.end()};
}

uint64_t AccessTrace::Count(AccessKind kind, uint64_t address, size_t from) const {
  uint64_t count = 0;
  for (size_t i = from; i < records_.size(); ++i) {
    if (records_[i].kind == kind && records_[i].address == address) count += records_[i].repeat;
  }
  return count;
}

std::vector<TraceRecord> AccessTrace::Where(const std::function<bool(const TraceRecord &)> &keep,
                                            size_t from) const {
  std::vector<TraceRecord> selected;
  for (size_t i = from; i < records_.size(); ++i) {
    if (keep(records_[i])) selected.push_back(records_[i]);
  }
  return selected;
}

std::vector<TraceRecord> AccessTrace::Select(AccessKind kind, size_t from) const {
  return Where([kind](const TraceRecord &r) { return r.kind == kind; }, from);
}

std::vector<TraceRecord> AccessTrace::Select(AccessKind kind, uint64_t address, size_t from) const {
  return Where([=](const TraceRecord &r) { return r.kind == kind && r.address == address; }, from);
}

std::vector<uint64_t> AccessTrace::Values(AccessKind kind, uint64_t address, size_t from) const {
  std::vector<uint64_t> values;
  for (size_t i = from; i < records_.size(); ++i) {
    const TraceRecord &r = records_[i];
    if (r.kind != kind || r.address != address) continue;
    values.insert(values.end(), r.repeat, r.value);
  }
  return values;
}

std::string AccessTrace::Summary() const {
  std::string summary;
  for (size_t k = 0; k < kAccessKindCount; ++k) {
    if (counts_[k] == 0) continue;
    if (!summary.empty()) summary += ", ";
    summary += AccessKindName(static_cast<AccessKind>(k));
    summary += ' ';
    summary += std::to_string(counts_[k]);
  }
  if (truncated_) summary += " (trace truncated)";
  return summary.empty() ? "no accesses" : summary;
}

std::string AccessTrace::Dump(size_t from, size_t limit) const {
  std::string dump;
  size_t shown = 0;
  for (size_t i = from; i < records_.size(); ++i) {
    if (shown++ == limit) {
      dump += "... " + std::to_string(records_.size() - i) + " more records\n";
      break;
    }
    dump += records_[i].ToString();
    dump += '\n';
  }
  return dump;
}

}  // namespace sim
