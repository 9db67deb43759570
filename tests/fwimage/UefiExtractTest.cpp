// The built volume read by an independent reader, UEFIExtract (package
// uefitool-cli): its report lists the same files and sections, at the same
// places and of the same sizes, with the files' types, GUIDs and names, and
// it finds nothing wrong.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "Module.h"
#include "Volume.h"

namespace fwimage_test {
namespace {

using namespace fwimage;
namespace fs = std::filesystem;

struct ReportRow {
  std::string type, subtype, name;
  uint64_t base = 0, size = 0;
};

std::string Trim(const std::string &text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// " Type | Subtype | Base | Size | CRC32 | Name", one row per element.
std::vector<ReportRow> ReadReport(const fs::path &path) {
  std::ifstream in(path);
  std::vector<ReportRow> rows;
  std::string line;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '|');) cells.push_back(Trim(cell));
    if (cells.size() < 6) continue;
    std::string name = cells[5];
    for (size_t cell = 6; cell < cells.size(); cell++) name += " | " + cells[cell];
    rows.push_back({cells[0], cells[1], name, std::stoull(cells[2], nullptr, 16),
                    std::stoull(cells[3], nullptr, 16)});
  }
  return rows;
}

// UEFIExtract's names of the types this volume holds.
const std::map<uint8_t, std::string> kFileSubtypes = {
    {kFileTypePad, "Pad"}, {kFileTypePeim, "PEI module"}, {kFileTypeDriver, "DXE driver"}};
const std::map<uint8_t, std::string> kSectionSubtypes = {{kSectionPeiDepex, "PEI dependency"},
                                                         {kSectionDxeDepex, "DXE dependency"},
                                                         {kSectionRaw, "Raw"},
                                                         {kSectionTe, "TE image"},
                                                         {kSectionPe32, "PE32 image"},
                                                         {kSectionUserInterface, "UI"},
                                                         {kSectionVersion, "Version"}};

TEST(UefiExtract, ListsEveryFileAndSectionAsFwimageReadsThem) {
  if (std::string(UEFIEXTRACT).empty()) {
    GTEST_SKIP() << "UEFIExtract not found (package uefitool-cli)";
  }
  const fs::path dir =
      fs::temp_directory_path() / ("fwimage-uefiextract-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(BuiltPath("BoardHook.fv"), dir / "BoardHook.fv");
  const std::string command =
      "cd '" + dir.string() + "' && '" UEFIEXTRACT "' BoardHook.fv report 2>&1";
  std::string messages;
  {
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) messages += buffer;
  }
  const std::vector<ReportRow> rows = ReadReport(dir / "BoardHook.fv.report.txt");
  fs::remove_all(dir);

  // A volume of its own has no volume top file (the reset vector's), which
  // UEFIExtract notes; any other message names a fault.
  std::istringstream lines(messages);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.find("Volume Top File"), std::string::npos) << line;
  }

  const ParsedVolume volume = ParseVolume(Built("BoardHook.fv"));
  std::vector<ReportRow> expected = {
      {"Volume", "FFSv2", "- " + FormatGuid(volume.fileSystem), 0, volume.length}};
  for (const ParsedFile &file : volume.files) {
    std::string name = file.type == kFileTypePad
                           ? "-- Padding file"
                           : "-- " + FormatGuid(file.name) + " | " +
                                 UserInterfaceText(*file.Find(kSectionUserInterface));
    expected.push_back({"File", kFileSubtypes.at(file.type), name, file.offset, file.size});
    for (const ParsedSection &section : file.sections) {
      const std::string subtype = kSectionSubtypes.at(section.type);
      expected.push_back({"Section", subtype, "", file.offset + section.offset, section.size});
    }
  }
  // The files the volume must hold, with their names.
  EXPECT_NE(std::find_if(expected.begin(), expected.end(),
                         [](const ReportRow &r) {
                           return r.name == "-- " BOARDHOOK_PEI_FILE_GUID " | BoardHookPei";
                         }),
            expected.end());
  EXPECT_NE(std::find_if(expected.begin(), expected.end(),
                         [](const ReportRow &r) {
                           return r.name == "-- " BOARDHOOK_DXE_FILE_GUID " | BoardHookDxe";
                         }),
            expected.end());

  std::vector<ReportRow> listed;
  for (const ReportRow &row : rows) {
    if (row.type == "Volume" || row.type == "File" || row.type == "Section") listed.push_back(row);
  }
  ASSERT_EQ(listed.size(), expected.size()) << "rows of the report";
  for (size_t index = 0; index < listed.size(); index++) {
    const ReportRow &got = listed[index];
    const ReportRow &want = expected[index];
    EXPECT_EQ(got.type, want.type) << index;
    EXPECT_EQ(got.subtype, want.subtype) << index << " " << got.type;
    if (want.type != "Section") {
      EXPECT_EQ(got.name, want.name) << index;
    }
    EXPECT_EQ(got.base, want.base) << index << " " << got.subtype;
    EXPECT_EQ(got.size, want.size) << index << " " << got.subtype;
  }
}

}  // namespace
}  // namespace fwimage_test
