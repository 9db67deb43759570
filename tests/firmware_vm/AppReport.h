// The test application's report on the debug console: the lines between
// "REPORT BEGIN" and "REPORT END", each a label followed by key=value fields.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace firmware_vm {

struct ReportLine {
  std::string Label;
  std::map<std::string, std::string> Fields;

  // The field's value; empty when the line lacks it.
  std::string operator[](const std::string &Key) const;
};

struct AppReport {
  bool Complete = false;
  std::vector<ReportLine> Lines;

  // The first line with this label; an empty line if there is none.
  ReportLine Line(const std::string &Label) const;
  std::vector<ReportLine> All(const std::string &Label) const;
  // The "watch" line of one protocol.
  ReportLine Watch(const std::string &Name) const;
};

AppReport ParseAppReport(const std::string &Text);

}  // namespace firmware_vm
