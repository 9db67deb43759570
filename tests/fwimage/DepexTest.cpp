// Dependency expressions: text to the postfix program and back, the exact
// bytes of a program, and the programs and texts refused.
#include <gtest/gtest.h>

#include "Depex.h"
#include "TestSupport.h"
#include "Guid.h"
#include "KnownGuids.h"

namespace fwimage_test {
namespace {

using namespace fwimage;

constexpr const char *kOtherGuid = "01234567-89AB-CDEF-0123-456789ABCDEF";

TEST(Depex, TextComesBackFromTheProgram) {
  const struct {
    std::string text;
    std::string back;
  } cases[] = {
      {"gPcdProtocolGuid", "gPcdProtocolGuid"},
      {"gPcdPpiGuid AND gEfiPeiReadOnlyVariable2PpiGuid",
       "gPcdPpiGuid AND gEfiPeiReadOnlyVariable2PpiGuid"},
      {"TRUE", "TRUE"},
      {"NOT FALSE", "NOT FALSE"},
      {"gPcdPpiGuid OR gEfiPeiStallPpiGuid AND NOT gBmcIpmiPpiGuid",
       "gPcdPpiGuid OR gEfiPeiStallPpiGuid AND NOT gBmcIpmiPpiGuid"},
      {"(gPcdPpiGuid OR gEfiPeiStallPpiGuid) AND gBmcIpmiPpiGuid",
       "(gPcdPpiGuid OR gEfiPeiStallPpiGuid) AND gBmcIpmiPpiGuid"},
      {"gPcdPpiGuid AND (gEfiPeiStallPpiGuid AND gBmcIpmiPpiGuid)",
       "gPcdPpiGuid AND (gEfiPeiStallPpiGuid AND gBmcIpmiPpiGuid)"},
      {"NOT (TRUE OR FALSE)", "NOT (TRUE OR FALSE)"},
      {"((gPcdPpiGuid))", "gPcdPpiGuid"},
      // A GUID no header names stays in registry form, upper case.
      {"01234567-89ab-cdef-0123-456789abcdef", kOtherGuid},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(DecodeDepex(CompileDepex(c.text), DepexKind::Pei), c.back) << c.text;
  }
}

TEST(Depex, ProgramIsPostfixWithGuidsAsStored) {
  const Guid pcd = *KnownGuid("gPcdPpiGuid");
  const Guid variable = *KnownGuid("gEfiPeiReadOnlyVariable2PpiGuid");
  Bytes expected = {0x02};
  expected.insert(expected.end(), pcd.begin(), pcd.end());
  expected.push_back(0x02);
  expected.insert(expected.end(), variable.begin(), variable.end());
  expected.push_back(0x03);
  expected.push_back(0x08);
  EXPECT_EQ(CompileDepex("gPcdPpiGuid AND gEfiPeiReadOnlyVariable2PpiGuid"), expected);
  // 06E81C58-4AD7-44BC-8390-F10265F72480: the first three fields
  // little-endian.
  EXPECT_EQ(pcd, (Guid{0x58, 0x1C, 0xE8, 0x06, 0xD7, 0x4A, 0xBC, 0x44, 0x83, 0x90, 0xF1, 0x02, 0x65,
                       0xF7, 0x24, 0x80}));
  EXPECT_EQ(CompileDepex("NOT TRUE OR FALSE"), (Bytes{0x06, 0x05, 0x07, 0x04, 0x08}));
}

TEST(Depex, RefusesBadText) {
  const struct {
    const char *text;
    std::string message;
  } cases[] = {
      {"", "empty"},
      {"gNoSuchGuid", "neither a known interface nor a GUID"},
      {"gPcdPpiGuid AND", "ends too early"},
      {"(gPcdPpiGuid", "missing ')'"},
      {"gPcdPpiGuid gPcdProtocolGuid", "unexpected 'gPcdProtocolGuid'"},
      {"01234567-89AB-CDEF-0123-456789ABCDEG", "neither a known interface nor a GUID"},
  };
  for (const auto &c : cases) {
    ExpectRefused<FormatError>(c.text, c.message, [&] { CompileDepex(c.text); });
  }
}

TEST(Depex, RefusesBadPrograms) {
  Bytes push = {0x02};
  const Guid guid = *ParseGuid(kOtherGuid);
  push.insert(push.end(), guid.begin(), guid.end());
  auto with = [&](std::initializer_list<uint8_t> tail) {
    Bytes program = push;
    program.insert(program.end(), tail);
    return program;
  };
  Bytes after = push;
  after[0] = 0x01;
  after.push_back(0x08);
  const struct {
    const char *what;
    Bytes program;
    DepexKind kind;
    std::string message;
  } cases[] = {
      {"no END", push, DepexKind::Pei, "without END"},
      {"END before the last byte", with({0x08, 0x06}), DepexKind::Pei, "END before"},
      {"two values left", with({0x06, 0x08}), DepexKind::Pei, "2 values"},
      {"nothing left", Bytes{0x08}, DepexKind::Pei, "0 values"},
      {"AND short of operands", with({0x03, 0x08}), DepexKind::Pei, "without its operands"},
      {"GUID cut short", Bytes{0x02, 0x01, 0x02}, DepexKind::Pei, "cut short"},
      {"unknown opcode", with({0x0A, 0x08}), DepexKind::Pei, "unknown opcode 0xA"},
      {"BEFORE in a PEI module", Bytes{0x00}, DepexKind::Pei, "DXE drivers only"},
      {"SOR in a PEI module", Bytes{0x09, 0x06, 0x08}, DepexKind::Pei, "DXE drivers only"},
      {"SOR not first", Bytes{0x06, 0x09, 0x08}, DepexKind::Dxe, "must come first"},
      {"AFTER with more",
       [&] {
         Bytes more = after;
         more.push_back(0x06);
         return more;
       }(),
       DepexKind::Dxe, "stand alone"},
  };
  for (const auto &c : cases) {
    ExpectRefused<FormatError>(c.what, c.message, [&] { DecodeDepex(c.program, c.kind); });
  }
  // What only a DXE driver's expression may say.
  EXPECT_EQ(DecodeDepex(after, DepexKind::Dxe), std::string("AFTER ") + kOtherGuid);
  EXPECT_EQ(DecodeDepex(Bytes{0x09, 0x06, 0x08}, DepexKind::Dxe), "SOR TRUE");
}

}  // namespace
}  // namespace fwimage_test
