// The board description reader: the reference board as the format's
// example, bad input reported with file, line and key, and no input that
// makes it fail in any other way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
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

// The descriptions of the cases the firmware tells apart, as the reader
// takes them (the boot tests show what the firmware does on each).
TEST(BoardFileTest, CaseDescriptionsReadAsWritten) {
  const Board board = ParseBoard(
      "[smbus]\nfailures = [{address = 0x3A, operation = \"read\"},\n"
      "  {address = 0x3A, operation = \"read\", call = 2, status = \"EFI_TIMEOUT\"}]\n"
      "[bmc]\nattempts = [{status = \"EFI_NO_RESPONSE\"}, {response_length = 12}]\n"
      "[pcd]\n4 = {size = 2, value = 0x105}\n445 = \"undeclared\"\n0x700 = {size = 8}\n"
      "[host_bridge]\nid = 0x1234B0A5\nclass = 0x06\nsubclass = 0x80\nunclaimed_read = 0\n"
      "bus_groups = [{group = 1, value = 0x3F400000}, {group = 2, first = 0x80, last = 0x9F}]\n"
      "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
      "capabilities = [1, {id = 5, offset = 0x70}, 0x10]\n"
      "vpd = {count = 0, position = 1, stops_completing_at = 0x40}\n"
      "bars = [{type = \"mem64\", base = 0x400000000, size = 0x200000000}]\n"
      "[modules]\npcd_ppi = false\npei_installs = [\"smbus\", [\"i2c-table\", \"i2c-apply\"], "
      "\"smbus\"]\n"
      "[pei_services]\nfailures = [{service = \"LocatePpi\", ppi = \"smbus\", call = 2}]\n"
      "[hook4]\nwhen = \"never\"\nsecond = {size = 4, fill = 0, bytes = [9]}\n",
      "cases.toml");
  ASSERT_EQ(board.smbus.failures.size(), 2u);
  EXPECT_EQ(board.smbus.failures[1].call, 2u);
  ASSERT_EQ(board.bmc.attempts.size(), 2u);
  EXPECT_FALSE(board.bmc.attempts[0].lengthWritten);  // an error writes no length by default
  EXPECT_TRUE(board.bmc.attempts[1].lengthWritten);
  EXPECT_EQ(board.bmc.attempts[1].status, 0u);
  EXPECT_EQ(board.bmc.attempts[1].responseLength, 12);

  std::map<uint32_t, std::pair<unsigned, uint64_t>> tokens;
  for (const auto &entry : board.pcd) tokens[entry.token] = {entry.size, entry.value};
  EXPECT_EQ(tokens[4], std::make_pair(2u, uint64_t{0x105}));
  EXPECT_EQ(tokens[445].first, 0u);
  EXPECT_EQ(tokens[0x700], std::make_pair(8u, uint64_t{0}));

  EXPECT_EQ(board.hostBridge.id, 0x1234B0A5u);
  EXPECT_EQ(board.hostBridge.subClass, 0x80);
  EXPECT_EQ(board.hostBridge.unclaimedRead, 0);
  ASSERT_EQ(board.hostBridge.busGroups.size(), 2u);
  EXPECT_EQ(board.hostBridge.busGroups[0].First(), 0x40);
  EXPECT_EQ(board.hostBridge.busGroups[0].Last(), 0x3F);
  EXPECT_EQ(board.hostBridge.busGroups[1].value, 0x9F800000u);

  // Capabilities where the device links them: 0x40, the VPD capability
  // second after it (8 bytes, dword-aligned), 0x70 as given, then after it.
  const auto &device = board.devices.at(0);
  ASSERT_EQ(device.capabilities.size(), 3u);
  EXPECT_EQ(device.capabilities[0].offset, 0x40);
  ASSERT_TRUE(device.vpd.has_value());
  EXPECT_EQ(device.vpd->position, 1u);
  EXPECT_EQ(device.vpd->offset, 0x44);
  EXPECT_EQ(device.capabilities[1].offset, 0x70);
  EXPECT_EQ(device.capabilities[2].offset, 0x74);
  EXPECT_EQ(device.vpd->stopsCompletingAt, 0x40);
  EXPECT_EQ(device.bars.at(0).size, 0x200000000u);

  EXPECT_FALSE(board.modules.pcdPpi);
  EXPECT_EQ(
      board.modules.peiSequence,
      (std::vector<bootsim::PeiStep>{{"entry"}, {"smbus"}, {"i2c-table", "i2c-apply"}, {"smbus"}}));
  ASSERT_EQ(board.peiFailures.size(), 1u);
  EXPECT_EQ(board.peiFailures[0].ppi, "smbus");
  EXPECT_EQ(board.peiFailures[0].status, 0x800000000000000Eu);  // EFI_NOT_FOUND

  EXPECT_EQ(board.hook4.when, bootsim::Hook4CallerDescription::When::Never);
  EXPECT_EQ(board.hook4.first.size, 10u);
  EXPECT_EQ(board.hook4.second.size, 4u);
  EXPECT_EQ(board.hook4.second.bytes, std::vector<uint8_t>{9});
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

std::string Repeat(const std::string &text, size_t count) {
  std::string repeated;
  for (size_t index = 0; index < count; index++) repeated += text;
  return repeated;
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
        // Numbers: one rule for every key, numbers in the base they were
        // written in, ranges as the format states them.
        BadInput{"quoted 8-bit number", "[smbus]\nid_byte_1 = \"0x17\"\n", 2, "smbus.id_byte_1",
                 "write the number without quotes, 0x17"},
        BadInput{"quoted ranged number",
                 "[[root_port]]\nport = \"1\"\nlocation = 9\nsecondary_bus = 1\n"
                 "subordinate_bus = 1\n",
                 2, "root_port[0].port", "write the number without quotes, 1"},
        BadInput{"quoted number or word", "[bmc]\nanswer_after = \"3\"\n", 2, "bmc.answer_after",
                 "without quotes"},
        BadInput{"quoted small 64-bit number", "[cpu]\ndr2 = \"0x10\"\n", 2, "cpu.dr2",
                 "only for a 64-bit value above 0x7FFFFFFFFFFFFFFF"},
        BadInput{"quoted token value", "[pcd]\n3 = \"2\"\n", 2, "pcd.3", "without quotes"},
        BadInput{"quoted CMOS byte", "[cmos]\n0x58 = \"2\"\n", 2, "cmos.0x58", "without quotes"},
        BadInput{"decimal stays decimal", "[smbus]\nid_byte_2 = 300\n", 2, "smbus.id_byte_2",
                 "value 300 does not fit in 8 bits (0 to 255)"},
        BadInput{"binary stays binary", "[smbus]\nid_byte_2 = 0b100000000\n", 2, "smbus.id_byte_2",
                 "value 0b100000000 does not fit in 8 bits (0 to 0b11111111)"},
        BadInput{"decimal alignment",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "bars = [{base = 4026535936, size = 65536}]\n",
                 4, "device[0].bars[0].base",
                 "the base 4026535936 is not aligned to the size 65536"},
        BadInput{"range relative to the size", "[s3_save]\nsize = 64\nend_offset = 63\n", 3,
                 "s3_save.end_offset", "value 63 out of range (0 to size − 2 = 62)"},
        BadInput{"range in units", "[cpu]\ntsc_hz = 1000\n", 2, "cpu.tsc_hz",
                 "value 1000 out of range (1 MHz to 100 GHz)"},
        // Messages about a table's contents name the key at fault.
        BadInput{"heap data too long",
                 "[[heap_buffer]]\nhandle = 1\n\ndata = [" + Repeat("0, ", 65281) + "]\n", 4,
                 "heap_buffer[0].data", "a heap buffer holds at most 65280 bytes, this one 65281"},
        BadInput{"BAR over another",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "bars = [{base = 0xF0000000, size = 0x10000}]\n"
                 "[[device]]\naddress = \"02:00.0\"\nid = 1\n"
                 "bars = [\n  {index = 0, base = 0xF1000000, size = 0x1000},\n"
                 "  {index = 1, base = 0xF0008000, size = 0x1000},\n]\n",
                 10, "device[1].bars[1].base",
                 "BAR 1 at 0xF0008000 overlaps the window of device[0].bars[0] (line 4)"},
        BadInput{"bar bytes outside",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "bars = [{base = 0xF0000000, size = 16}]\n"
                 "bar_bytes = [{bar = 0, offset = 15, bytes = [1, 2]}]\n",
                 5, "device[0].bar_bytes[0].offset", "do not lie inside BAR 0"},
        // The S3 save table's marker may not land on the header's fields.
        BadInput{"S3 marker on the offsets", "[s3_save]\ntable = true\nboundary_offset = 30\n", 3,
                 "s3_save.boundary_offset",
                 "the marker at 30 would overwrite the table's own fields"},
        BadInput{"S3 marker reaching the offsets", "[s3_save]\nboundary_offset = 29\n", 2,
                 "s3_save.boundary_offset", "would overwrite"},
        BadInput{"S3 marker on the end offset", "[s3_save]\nboundary_offset = 0x2F\n", 2,
                 "s3_save.boundary_offset", "the marker at 0x2F would overwrite"},
        BadInput{"S3 marker on the signature", "[s3_save]\nboundary_offset = 3\n", 2,
                 "s3_save.boundary_offset", "would overwrite"},
        // Contradictions and limits of the new descriptions.
        BadInput{"SMBus failure planned twice",
                 "[smbus]\nfailures = [\n  {address = 0x3A, operation = \"read\", call = 2},\n"
                 "  {address = 0x3A, operation = \"read\", call = 2, status = \"EFI_TIMEOUT\"},\n"
                 "]\n",
                 4, "smbus.failures[1]", "contradicts smbus.failures[0] (line 3)"},
        BadInput{"BMC script and model",
                 "[bmc]\nanswer_after = 2\nattempts = [{status = \"EFI_SUCCESS\"}]\n", 2,
                 "bmc.answer_after", "give either attempts or answer_after"},
        BadInput{"BMC script too long",
                 "[bmc]\nattempts = [{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}]\n", 2,
                 "bmc.attempts", "at most 10 attempts"},
        BadInput{"BMC failure that succeeds", "[bmc]\nfailure_status = \"EFI_SUCCESS\"\n", 2,
                 "bmc.failure_status", "unknown status"},
        BadInput{"token 0", "[pcd]\n0 = 1\n", 2, "pcd.0", "from 1 to 0xFFFFFFFF"},
        BadInput{"other token without size", "[pcd]\n700 = 1\n", 2, "pcd.700",
                 "give its size: 700 = {size = 4, value = ...}"},
        BadInput{"token size", "[pcd]\n700 = {size = 3, value = 1}\n", 2, "pcd.700.size",
                 "1, 2, 4 or 8 bytes"},
        BadInput{"token value wider than its size", "[pcd]\n700 = {size = 1, value = 256}\n", 2,
                 "pcd.700.value", "does not fit in 8 bits"},
        BadInput{"token twice", "[pcd]\n3 = 1\n0x3 = 2\n", 3, "pcd.0x3",
                 "this token is also given as pcd.3 (line 2)"},
        BadInput{"CMOS byte twice", "[cmos]\n0x58 = 1\n88 = 2\n", 3, "cmos.88",
                 "this CMOS byte is also given as cmos.0x58 (line 2)"},
        BadInput{"address token undeclared", "[pcd]\n584 = \"undeclared\"\n", 2, "pcd.584",
                 "assigns"},
        BadInput{"bus group value and bounds",
                 "[host_bridge]\nbus_groups = [{group = 1, value = 0x7F400000, first = 0x40}]\n", 2,
                 "host_bridge.bus_groups[0].first", "either value or first and last"},
        BadInput{"bus group number", "[host_bridge]\nbus_groups = [{group = 8, value = 0}]\n", 2,
                 "host_bridge.bus_groups[0].group", "out of range (0 to 7)"},
        BadInput{"capabilities overlap",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "capabilities = [{id = 1, offset = 0x60}]\n"
                 "vpd = {count = 0, offset = 0x5C}\n",
                 5, "device[0].vpd", "the capability at 0x5C overlaps device[0].capabilities[0]"},
        BadInput{"capability past the header",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "capabilities = [{id = 1, offset = 0xFC}]\nvpd = {count = 0}\n",
                 5, "device[0].vpd", "does not fit below 0x100"},
        BadInput{"VPD position",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n"
                 "capabilities = [1]\nvpd = {position = 2}\n",
                 5, "device[0].vpd.position", "out of range (0 to 1, the number of other"},
        BadInput{"VPD stop inside a dword",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\nvpd = {stops_completing_at = 6}\n", 4,
                 "device[0].vpd.stops_completing_at", "a multiple of 4"},
        BadInput{"VPD in the capability list",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\ncapabilities = [{id = 3}]\n", 4,
                 "device[0].capabilities[0]", "describe the VPD capability with vpd"},
        BadInput{"32-bit BAR of 4 GiB",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\nbars = [{size = 0x100000000}]\n", 4,
                 "device[0].bars[0].size", "out of range (16 to 2 GiB)"},
        BadInput{"Hook4 bytes beyond the buffer",
                 "[hook4]\nfirst = {size = 2, bytes = [1, 2, 3]}\n", 2, "hook4.first.bytes",
                 "3 bytes do not fit the 2-byte buffer"},
        BadInput{"Hook4 caller's moment", "[hook4]\nwhen = \"later\"\n", 2, "hook4.when",
                 "expected \"after-setup-trigger\", \"before-setup-trigger\" or \"never\""},
        BadInput{"PEI entry in a list", "[modules]\npei_installs = [[\"smbus\", \"entry\"]]\n", 2,
                 "modules.pei_installs[0][1]", "the module's entry is a step of its own"},
        BadInput{"PEI steps beyond the database",
                 "[modules]\npei_installs = [" + Repeat("\"smbus\", ", 129) + "]\n", 2,
                 "modules.pei_installs", "at most 128 steps"},
        BadInput{"PEI empty list", "[modules]\npei_installs = [\"entry\", []]\n", 2,
                 "modules.pei_installs[1]", "at least one PPI"},
        BadInput{"PEI service failing twice",
                 "[pei_services]\nfailures = [{service = \"AllocatePool\"},\n"
                 "  {service = \"AllocatePool\", call = 0}]\n",
                 3, "pei_services.failures[1]", "both plan the same call"},
        BadInput{"PPI of a service that looks for none",
                 "[pei_services]\nfailures = [{service = \"NotifyPpi\", ppi = \"smbus\"}]\n", 2,
                 "pei_services.failures[0].ppi", "only LocatePpi looks for a PPI"},
        // Text the TOML library would misread, refused before it: non-ASCII
        // characters outside strings and comments (its character classes are
        // undefined for some of them; the sanitizer build runs its parser
        // under UndefinedBehaviorSanitizer), text that is not UTF-8, and
        // ASCII on which it breaks assertions of its own (a header name that
        // starts like no key, '}' as an array element, a date followed by a
        // space and a digit).
        BadInput{"non-ASCII in a bare key", "[smbus]\nid_bytè_1 = 1\n", 2, "smbus.id_bytè",
                 "non-ASCII character 'è' (U+00E8) outside a string or comment"},
        BadInput{"U+FD7B in a bare key", "[smbus]\nid_byte\xEF\xB5\xBB = 1\n", 2,
                 "smbus.id_byte\xEF\xB5\xBB", "(U+FD7B)"},
        BadInput{"non-ASCII after a value", "[smbus]\nid_byte_1 = 1é\n", 2, "smbus.id_byte_1",
                 "non-ASCII character 'é'"},
        BadInput{"ideographic space after a value",
                 "[[device]]\naddress = \"01:00.0\"\nid = 1\n[[device]]\nid = 2\u3000\n", 5,
                 "device[1].id", "(U+3000)"},
        BadInput{"non-ASCII in a header", "[rés]\n", 1, "rés", "non-ASCII character"},
        BadInput{"quoted non-ASCII key", "[smbus]\n\"id_bytè_1\" = 1\n", 2, "smbus.id_bytè_1",
                 "unknown key"},
        BadInput{"byte 0xFF in a string", "[board]\nname = \"\xFF\"\n", 2, "board.name",
                 "not UTF-8 (byte 0xFF)"},
        BadInput{"UTF-16 surrogate as UTF-8", "[board]\nname = \"\xED\xA0\x80\"\n", 2, "board.name",
                 "not UTF-8 (byte 0xED)"},
        BadInput{"truncated UTF-8 in a comment", "[board]\n# \xC3\n", 2, "board",
                 "not UTF-8 (byte 0xC3)"},
        BadInput{"escaped non-ASCII", "[board]\nname = \"\\é\"\n", 2, "board.name",
                 "invalid escape sequence '\\é'"},
        BadInput{"escaped non-ASCII in a multi-line string", "[board]\nname = \"\"\"\n\\é\"\"\"\n",
                 3, "board.name", "invalid escape sequence"},
        BadInput{"header name starting with =", "[board]\n[[=root_port]]\n", 2, "=root_port[0]",
                 "a table name starts with a letter"},
        BadInput{"header name after a blank", "[ =smbus]\n", 1, "=smbus",
                 "a table name starts with a letter"},
        BadInput{"header without a name", "[smbus]\n[\n", 2, "",
                 "a table name starts with a letter"},
        BadInput{"brace as an array element", "[modules]\npei_installs = [}]\n", 2,
                 "modules.pei_installs", "'}' closes no inline table"},
        BadInput{"brace after a comment in an array",
                 "[modules]\npei_installs = [\"smbus\",\n  # a comment\n  }]\n", 4,
                 "modules.pei_installs", "'}' closes no inline table: the array is still open"},
        BadInput{"bracket inside an inline table", "[[device]]\nbars = [{size = 16]}]\n", 2,
                 "device[0].bars.size", "']' closes no array"},
        BadInput{
            "date as a number", "[smbus]\nid_byte_1 = 1979-05-27 1\n", 2, "smbus.id_byte_1",
            "'1979-05-27' is not a number (dates and times are no part of a board description)"},
        BadInput{"date in an array", "[smbus]\nabsent = [0x39,\n 1979-05-27 1]\n", 3,
                 "smbus.absent", "is not a number"},
        BadInput{"time as a number", "[cpu]\ndr2 = 07:32:00\n", 2, "cpu.dr2",
                 "'07:32:00' is not a number"},
        BadInput{"PEI entry twice", "[modules]\npei_installs = [\"entry\", \"smbus\", \"entry\"]\n",
                 2, "modules.pei_installs[2]", "the module's entry runs once"}),
    [](const ::testing::TestParamInfo<BadInput> &info) {
      std::string name = info.param.what;
      for (char &c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

// Non-ASCII characters reach the TOML library only as escapes inside
// strings (the refused cases are in the table above); strings and comments
// keep any UTF-8 text.
TEST(BoardFileTest, NonAsciiTextIsReadWhereTomlAllowsIt) {
  const struct {
    std::string text;
    std::string name;
  } accepted[] = {
      {"[board]\nname = \"é\"\n", "é"},
      {"[board]\nname = \"\xEF\xB5\xBB\"  # \xEF\xB5\xBB é\n", "\xEF\xB5\xBB"},
      {"\xEF\xBB\xBF[board]\nname = \"after a byte-order mark\"\n", "after a byte-order mark"},
      {"[board]\nname = 'é \\ \"'\n", "é \\ \""},
      {"[board]\nname = \"\"\"à \\\n   é\"\"\"\n", "à é"},
      {"[board]\nname = \"\"\"\"é\"\"\"\"\n", "\"é\""},
      {"[board]\nname = '''\nà ' é''''\n", "à ' é'"},
      {"[board] # réseau\nname = \"\\u00E9\"\n", "é"},
  };
  for (const auto &c : accepted) {
    SCOPED_TRACE(c.text);
    try {
      EXPECT_EQ(ParseBoard(c.text, "text.toml").name, c.name);
    } catch (const BoardError &error) {
      ADD_FAILURE() << error.what();
    }
  }
}

// The checks before the TOML library (the table above) leave well-formed
// text alone: nested brackets that match, keys that look like numbers.
TEST(BoardFileTest, MatchingBracketsAndNumberKeysStillRead) {
  const Board board = ParseBoard(
      "[smbus]\nfailures = [\n  {address = 0x3A, operation = \"read\"},\n]\n[pcd]\n3 = 2\n",
      "text.toml");
  EXPECT_EQ(board.smbus.failures.size(), 1u);
  EXPECT_EQ(board.pcd.size(), 1u);
}

// Files are read up to 4 MiB and never waited for: endless input, an empty
// path, a directory and a pipe nobody writes to each end at once.
TEST(BoardFileTest, ReadingIsBounded) {
  auto refusal = [](const std::string &path) -> std::string {
    try {
      bootsim::LoadBoardFile(path);
      return "accepted";
    } catch (const BoardError &error) {
      return error.what();
    }
  };
  EXPECT_EQ(refusal("/dev/zero"),
            "/dev/zero:1: the description is larger than 4 MiB (4194304 bytes), the most "
            "boardhook-sim reads");
  EXPECT_EQ(refusal(""),
            "\"\": the board file's path is empty (without a path the built-in reference board "
            "boots)");
  EXPECT_EQ(refusal("/tmp"), "/tmp: cannot read the file: it is a directory");

  char directory[] = "/tmp/board-file-test-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string fifo = std::string(directory) + "/board.toml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(refusal(fifo), "accepted");  // no writer: an empty description
  std::remove(fifo.c_str());

  // A file of many lines: the message names the line the bound falls on.
  const std::string lines = std::string(directory) + "/lines.toml";
  {
    std::ofstream out(lines);
    const std::string line = "# " + std::string(1021, '-') + "\n";  // 1 KiB each
    for (size_t index = 0; index < 4096 + 2; index++) out << line;
  }
  EXPECT_EQ(refusal(lines).rfind(lines + ":4097: the description is larger than 4 MiB", 0), 0u)
      << refusal(lines);
  std::remove(lines.c_str());
  rmdir(directory);
}

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
