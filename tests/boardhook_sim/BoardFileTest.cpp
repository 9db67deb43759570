// The board description reader: the reference board as the format's
// example, bad input reported with file, line and key, and no input that
// makes it fail in any other way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BoardFile.h"

namespace {

using bootsim::Board;
using bootsim::BoardError;
using bootsim::ParseBoard;

TEST(BoardFileTest, ReferenceBoardIsTheShippedFileAndReadsAsDescribed) {
  const Board board = bootsim::LoadReferenceBoard();
  EXPECT_EQ(board.name, "reference");
  EXPECT_EQ(board.smbus.idByte1, 0x17);
  EXPECT_EQ(board.smbus.idByte2, 0x2B);
  ASSERT_TRUE(board.bmc.answerAfter.has_value());
  EXPECT_EQ(*board.bmc.answerAfter, 2u);
  ASSERT_EQ(board.setupVariable.data.size(), 4092u);
  EXPECT_EQ(board.setupVariable.data[4062], 0x01);
  ASSERT_EQ(board.rootPorts.size(), 4u);
  // Root ports sit where their location token makes the firmware look: bus
  // group 1 starts at bus 0x40.
  EXPECT_EQ(board.rootPorts[2].bridge.address.Text(), "40:00.1");
  EXPECT_EQ(board.rootPorts[3].bridge.address.Text(), "40:00.2");
  ASSERT_EQ(board.devices.size(), 6u);
  ASSERT_TRUE(board.devices[3].vpd.has_value());
  ASSERT_EQ(board.heapBuffers.size(), 2u);
  EXPECT_EQ(board.heapBuffers[0].handle, 0xA014u);
  EXPECT_EQ(board.heapBuffers[0].data.size(), 513u + 256u);
  EXPECT_TRUE(board.s3.table);
  EXPECT_EQ(board.modules.peiSequence,
            (std::vector<bootsim::PeiStep>{{"entry"}, {"smbus"}, {"i2c-table"}, {"i2c-apply"}}));
}

TEST(BoardFileTest, NumbersTakeEveryTomlFormAndStringsAbove63Bits) {
  const Board board = ParseBoard(
      "[smbus]\nid_byte_1 = 0b1010\nid_byte_2 = 0o17\n"
      "[cpu]\nmsrs = [{index = 0xC0010064, value = \"0x800000000000010A\"}]\n",
      "numbers.toml");
  EXPECT_EQ(board.smbus.idByte1, 0x0A);
  EXPECT_EQ(board.smbus.idByte2, 0x0F);
  ASSERT_EQ(board.cpu.msrs.size(), 1u);
  EXPECT_EQ(board.cpu.msrs[0].value, 0x800000000000010Aull);
}

// The driver treats a debug-tool header that does not fit its heap buffer as
// no header, so a board may carry one.
TEST(BoardFileTest, DebugToolHeaderShorterThanItsBufferIsKept) {
  const Board board = ParseBoard(
      "[[heap_buffer]]\nhandle = 0xA014\ndata = [0xCC, 0x99, 0x10, 0xDB, 0, 0, 0x00, 0x01]\n",
      "short-header.toml");
  ASSERT_EQ(board.heapBuffers.size(), 1u);
  EXPECT_EQ(board.heapBuffers[0].data.size(), 8u);
}

TEST(BoardFileTest, EmptyDescriptionTakesTheDefaults) {
  const Board board = ParseBoard("", "empty.toml");
  EXPECT_FALSE(board.setupVariable.present);
  EXPECT_TRUE(board.bmc.present);
  EXPECT_TRUE(board.rootPorts.empty());
  EXPECT_TRUE(board.modules.setupSuppressTrigger);
  EXPECT_EQ(board.s3.smmBufferSize, 40u);
}

struct BadInput {
  const char *what;
  std::string text;
  uint32_t line;
  const char *key;
  const char *message;  // a part of the message
};

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, NamesFileLineAndKey) {
  const BadInput &c = GetParam();
  try {
    ParseBoard(c.text, "bad.toml");
    FAIL() << "accepted: " << c.text;
  } catch (const BoardError &error) {
    EXPECT_EQ(error.File(), "bad.toml");
    EXPECT_EQ(error.Line(), c.line) << error.what();
    EXPECT_EQ(error.Key(), c.key) << error.what();
    EXPECT_NE(error.Message().find(c.message), std::string::npos) << error.what();
    // The one-line form starts with file and line.
    EXPECT_EQ(std::string(error.what()).rfind("bad.toml:" + std::to_string(c.line) + ": ", 0), 0u)
        << error.what();
  }
}

constexpr const char *kPort1 =
    "[[root_port]]\nport = 1\nlocation = 0x0009\nsecondary_bus = 1\nsubordinate_bus = 1\n";

INSTANTIATE_TEST_SUITE_P(
    BoardFile, BadInputTest,
    ::testing::Values(
        BadInput{"syntax", "[smbus]\nid_byte_1 = = 3\n", 2, "", "TOML syntax error"},
        BadInput{"unknown table", "[smbsu]\nid_byte_1 = 3\n", 1, "smbsu", "unknown key"},
        BadInput{"unknown key", "[smbus]\nid_byte_1 = 3\nid_byte3 = 1\n", 3, "smbus.id_byte3",
                 "unknown key"},
        BadInput{"8-bit out of range", "[smbus]\nid_byte_1 = 0x1FF\n", 2, "smbus.id_byte_1",
                 "does not fit in 8 bits (0 to 0xFF)"},
        BadInput{"ranged", "[bmc]\nresponse_length = 256\n", 2, "bmc.response_length",
                 "value 256 out of range (0 to 255)"},
        BadInput{"wrong type", "[bmc]\npresent = 1\n", 2, "bmc.present", "expected true or false"},
        BadInput{"negative", "[pcd]\n3 = -1\n", 2, "pcd.3", "negative"},
        BadInput{"unknown token", "[pcd]\n7 = 1\n", 2, "pcd.7", "not one of this system's tokens"},
        BadInput{"address token", "[pcd]\n585 = 0x1000\n", 2, "pcd.585", "assigns"},
        BadInput{"bad 64-bit string", "[cpu]\ndr2 = \"0xZZ\"\n", 2, "cpu.dr2",
                 "expected an integer"},
        BadInput{
            "unknown status",
            "[smbus]\nfailures = [{address = 0x39, operation = \"read\", status = \"OOPS\"}]\n", 2,
            "smbus.failures[0].status", "unknown status"},
        BadInput{"missing required", "[[device]]\naddress = \"01:00.0\"\n", 1, "device[0]",
                 "missing required key 'id'"},
        BadInput{"bad PCI address", "[[device]]\naddress = \"1:0.0\"\nid = 1\n", 2,
                 "device[0].address", "not a PCI address"},
        BadInput{"PCI device above 31", "[[device]]\naddress = \"01:20.0\"\nid = 1\n", 2,
                 "device[0].address", "not a PCI address"},
        BadInput{"two functions at one address",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "[[device]]\naddress = \"01:00.0\"\nid = 2\n",
                 5, "device[1].address",
                 "contradictory topology: 01:00.0 is also described by device[0] (line 1)"},
        BadInput{"host bridge address", "[[device]]\naddress = \"00:00.0\"\nid = 1\n", 2,
                 "device[0].address", "host bridge"},
        BadInput{"location outside its group",
                 "[host_bridge]\nbus_groups = [{group = 1, first = 0x40, last = 0x44}]\n"
                 "[[root_port]]\nport = 1\nlocation = 0x2509\nsecondary_bus = 0x50\n"
                 "subordinate_bus = 0x50\n",
                 5, "root_port[0].location", "covers buses 0x40 to 0x44"},
        BadInput{"group upside down",
                 "[host_bridge]\nbus_groups = [{group = 1, first = 0x40, last = 0x3F}]\n", 2,
                 "host_bridge.bus_groups[0].last", "below its first bus"},
        BadInput{"overlapping bridges",
                 "[[root_port]]\nport = 1\nlocation = 0x0009\nsecondary_bus = 1\n"
                 "subordinate_bus = 4\n"
                 "[[root_port]]\nport = 2\nlocation = 0x000A\nsecondary_bus = 3\n"
                 "subordinate_bus = 6\n",
                 9, "root_port[1].secondary_bus",
                 "contradictory topology: buses 3 to 6 overlap those of root_port[0] (line 1)"},
        BadInput{"secondary bus not below",
                 "[[root_port]]\nport = 1\nlocation = 0x0009\nsecondary_bus = 0\n"
                 "subordinate_bus = 0\n",
                 4, "root_port[0].secondary_bus",
                 "the secondary bus 0 is not above the bridge's own bus"},
        BadInput{"port twice", std::string(kPort1) + kPort1, 7, "root_port[1].port",
                 "root port 1 is also described by root_port[0] (line 1)"},
        BadInput{"token and root port", std::string("[pcd]\n1 = 0x0009\n") + kPort1, 2, "pcd.1",
                 "contradictory"},
        BadInput{"BAR misaligned",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "bars = [{index = 0, base = 0xF0001000, size = 0x10000}]\n",
                 4, "device[0].bars[0].base", "not aligned"},
        BadInput{"BAR over configuration space",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "bars = [{index = 0, base = 0xE0000000, size = 0x10000}]\n",
                 4, "device[0].bars[0].base", "overlaps PCI configuration space"},
        BadInput{"MAC without BAR 0",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "mac = {address = \"00:11:22:33:44:55\", location = \"registers\"}\n",
                 4, "device[0].mac.location", "needs a BAR 0"},
        BadInput{"MAC location",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "mac = {address = \"00:11:22:33:44:55\", location = \"regs\"}\n",
                 4, "device[0].mac.location", "expected \"registers\""},
        BadInput{"MAC text",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "mac = {address = \"00:11:22:33:44\", location = \"serial-number\"}\n",
                 4, "device[0].mac.address", "not a MAC address"},
        BadInput{"VPD keyword length",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "vpd = {count = 1, keywords = {V2 = \"0A1B2C\"}}\n",
                 4, "device[0].vpd.keywords.V2", "exactly 12 characters"},
        BadInput{"S3 end mark outside the table", "[s3_save]\ntable = true\nend_offset = 127\n", 3,
                 "s3_save.end_offset", "out of range"},
        BadInput{"S3 marker outside the table",
                 "[s3_save]\ntable = true\nsize = 64\nboundary_offset = 124\n", 4,
                 "s3_save.boundary_offset", "out of range"},
        BadInput{"SMM buffer too small", "[s3_save]\nsmm_buffer_size = 16\n", 2,
                 "s3_save.smm_buffer_size", "at least 40 bytes"},
        BadInput{"signature length", "[[heap_buffer]]\nhandle = 1\nsignature = \"HEA\"\n", 3,
                 "heap_buffer[0].signature", "exactly four characters"},
        BadInput{"CMOS index", "[cmos]\n0x80 = 1\n", 2, "cmos.0x80", "0 to 0x7F"},
        BadInput{"Setup byte outside",
                 "[setup_variable]\nsize = 16\nbytes = [{offset = 16, value = 1}]\n", 3,
                 "setup_variable.bytes[0].offset", "out of range"},
        BadInput{"PEI install name", "[modules]\npei_installs = [\"smbus\", \"i2c\"]\n", 2,
                 "modules.pei_installs[1]", "expected \"smbus\""},
        BadInput{"PEI entry twice", "[modules]\npei_installs = [\"entry\", \"smbus\", \"entry\"]\n",
                 2, "modules.pei_installs[2]", "the module's entry runs once"}),
    [](const ::testing::TestParamInfo<BadInput> &info) {
      std::string name = info.param.what;
      for (char &c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(BoardFileTest, MissingFileNamesTheFile) {
  try {
    bootsim::LoadBoardFile("/nonexistent/board.toml");
    FAIL();
  } catch (const BoardError &error) {
    EXPECT_EQ(error.File(), "/nonexistent/board.toml");
    EXPECT_EQ(error.Line(), 0u);
    EXPECT_NE(error.Message().find("No such file or directory"), std::string::npos);
  }
}

// Truncated and garbled versions of the reference board: each is either a
// board or a BoardError, never anything else (run under the sanitizers too).
TEST(BoardFileTest, DamagedDescriptionsAreRefusedCleanly) {
  const std::string reference(bootsim::ReferenceBoardText());
  static constexpr char kReplacements[] = {' ', '=', '[', ']', '{', '}',  '"',    '\n',
                                           '0', 'x', '#', ',', '.', '\0', '\xFF', '-'};
  size_t refused = 0, accepted = 0;
  auto attempt = [&](const std::string &text) {
    try {
      ParseBoard(text, "damaged.toml");
      accepted++;
    } catch (const BoardError &error) {
      EXPECT_EQ(error.File(), "damaged.toml");
      refused++;
    }
  };
  uint32_t seed = 12345;
  for (size_t at = 0; at < reference.size(); at += 5) {
    attempt(reference.substr(0, at));
    std::string garbled = reference;
    seed = seed * 1103515245 + 12345;
    garbled[at] = kReplacements[(seed >> 16) % sizeof kReplacements];
    attempt(garbled);
  }
  EXPECT_GT(refused, 100u);
  EXPECT_GT(accepted, 100u);
}

}  // namespace
