#include "AppReport.h"

#include <sstream>

namespace firmware_vm {

std::string ReportLine::operator[](const std::string &Key) const {
  auto Found = Fields.find(Key);
  return Found != Fields.end() ? Found->second : std::string();
}

ReportLine AppReport::Line(const std::string &Label) const {
  for (const ReportLine &Entry : Lines) {
    if (Entry.Label == Label) {
      return Entry;
    }
  }
  return {};
}

std::vector<ReportLine> AppReport::All(const std::string &Label) const {
  std::vector<ReportLine> Found;
  for (const ReportLine &Entry : Lines) {
    if (Entry.Label == Label) {
      Found.push_back(Entry);
    }
  }
  return Found;
}

ReportLine AppReport::Watch(const std::string &Name) const {
  for (const ReportLine &Entry : All("watch")) {
    if (Entry["name"] == Name) {
      return Entry;
    }
  }
  return {};
}

AppReport ParseAppReport(const std::string &Text) {
  AppReport Parsed;
  std::istringstream Stream(Text);
  std::string Line;
  bool Inside = false;
  while (std::getline(Stream, Line)) {
    if (Line == "REPORT BEGIN") {
      Parsed = {};
      Inside = true;
      continue;
    }
    if (Line == "REPORT END") {
      Parsed.Complete = Inside;
      break;
    }
    if (!Inside) {
      continue;
    }
    ReportLine Entry;
    std::istringstream Words(Line);
    std::string Word;
    bool First = true;
    while (Words >> Word) {
      std::size_t Equals = Word.find('=');
      if (Equals == std::string::npos) {
        if (First) {
          Entry.Label = Word;
        }
      } else {
        Entry.Fields[Word.substr(0, Equals)] = Word.substr(Equals + 1);
      }
      First = false;
    }
    Parsed.Lines.push_back(Entry);
  }
  return Parsed;
}

}  // namespace firmware_vm
