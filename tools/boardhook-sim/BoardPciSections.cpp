// The readers of the PCI sections of a board description: the host bridge,
// the root ports and the devices (BARs, capabilities, VPD, MAC address).
#include "BoardPciSections.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace bootsim {

namespace {

// Default IDs of bridges the description gives no ID for; vendor 0xB0A5 is
// the simulator's own.
constexpr uint32_t kDefaultRootPortId = 0x0002B0A5;
constexpr uint32_t kDefaultBridgeId = 0x0003B0A5;

void ReadBridgeNumbers(TableReader &entry, BridgeDescription &bridge) {
  bridge.secondaryBus = static_cast<uint8_t>(entry.Required("secondary_bus", 8));
  bridge.subordinateBus = static_cast<uint8_t>(entry.Required("subordinate_bus", 8));
  bridge.key = entry.Path();
}

std::array<uint8_t, 6> ParseMac(TableReader &reader, std::string_view key) {
  const auto text = reader.String(key);
  if (!text) reader.Missing(key);
  std::array<uint8_t, 6> mac{};
  unsigned parts[6];
  char tail = 0;
  if (text->size() != 17 ||
      std::sscanf(text->c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &parts[0], &parts[1], &parts[2],
                  &parts[3], &parts[4], &parts[5], &tail) != 6) {
    reader.Fail(key, "\"" + *text + "\" is not a MAC address of the form \"00:1B:21:AA:BB:CC\"");
  }
  for (size_t index = 0; index < 6; index++) mac[index] = static_cast<uint8_t>(parts[index]);
  return mac;
}

// A VPD image in the usual resource layout: identifier string, read-only
// resource with VA (the number of addresses, as a digit) and the address
// keywords, a checksum keyword, end tag. The firmware only scans it for the
// keyword patterns; the layout keeps it a plausible image all the same.
std::vector<uint8_t> BuildVpdImage(unsigned count,
                                   const std::vector<std::pair<char, std::string>> &keywords) {
  std::vector<uint8_t> image;
  const std::string name = "Network controller";
  image.push_back(0x82);
  image.push_back(static_cast<uint8_t>(name.size()));
  image.push_back(0);
  image.insert(image.end(), name.begin(), name.end());
  std::vector<uint8_t> fields = {'V', 'A', 1, static_cast<uint8_t>('0' + count)};
  for (const auto &[digit, text] : keywords) {
    fields.push_back('V');
    fields.push_back(static_cast<uint8_t>(digit));
    fields.push_back(12);
    fields.insert(fields.end(), text.begin(), text.end());
  }
  fields.insert(fields.end(), {'R', 'V', 1, 0});
  image.push_back(0x90);
  image.push_back(static_cast<uint8_t>(fields.size()));
  image.push_back(static_cast<uint8_t>(fields.size() >> 8));
  const size_t checksumAt = image.size() + fields.size() - 1;
  image.insert(image.end(), fields.begin(), fields.end());
  uint8_t sum = 0;
  for (size_t index = 0; index < checksumAt; index++)
    sum = static_cast<uint8_t>(sum + image[index]);
  image[checksumAt] = static_cast<uint8_t>(-sum);
  image.push_back(0x78);
  return image;
}

constexpr size_t kMaxVpdImage = 0x8000;  // 15-bit VPD addresses

VpdDescription ReadVpd(TableReader &table, size_t capabilities) {
  VpdDescription vpd;
  if (table.Has("image")) {
    if (table.Has("count") || table.Has("keywords")) {
      table.Fail("image", "give either image or count and keywords, not both");
    }
    vpd.image = table.Bytes("image");
    if (vpd.image.size() > kMaxVpdImage) {
      table.Fail("image", "a VPD image holds at most 32768 bytes");
    }
  } else {
    const unsigned count = static_cast<unsigned>(table.Ranged("count", 0, 9, "0 to 9", 0));
    std::vector<std::pair<char, std::string>> keywords;
    if (auto words = table.Table("keywords")) {
      for (const char digit : {'2', '3', '4', '5'}) {
        const std::string key = std::string("V") + digit;
        if (auto text = words->String(key)) {
          if (text->size() != 12) {
            words->Fail(key, "an address keyword holds exactly 12 characters");
          }
          keywords.emplace_back(digit, *text);
        }
      }
      words->Finish();
    }
    vpd.image = BuildVpdImage(count, keywords);
  }
  if (const toml::node *node = table.Take("completion_reads")) {
    const auto reads = table.NumberOr(*node, "completion_reads", "never", 31);
    vpd.neverCompletes = !reads;
    vpd.completionReads = static_cast<uint32_t>(reads.value_or(0));
  }
  if (const auto stop = table.Ranged("stops_completing_at", 0, kMaxVpdImage - 4,
                                     "0 to 0x7FFC, a multiple of 4")) {
    if (*stop % 4 != 0) {
      table.Fail("stops_completing_at", "the VPD is read in dwords: give a multiple of 4");
    }
    vpd.stopsCompletingAt = static_cast<uint16_t>(*stop);
  }
  vpd.position = table.Ranged(
      "position", 0, capabilities,
      "0 to " + std::to_string(capabilities) + ", the number of other capabilities", capabilities);
  vpd.offset = static_cast<uint8_t>(table.Ranged("offset", 0x40, 0xF8, "0x40 to 0xF8", 0));
  table.Finish();
  return vpd;
}

// Places the capabilities as the device links them: an offset given stands,
// the others follow the one before (dword-aligned, from 0x40 on). Each must
// fit below 0x100 and none may overlap another.
void PlaceCapabilities(TableReader &entry, DeviceDescription &device,
                       const std::vector<std::string> &keys) {
  struct Placed {
    unsigned first, end;  // [first, end)
    std::string key;
  };
  std::vector<Placed> placed;
  unsigned next = 0x40;
  auto place = [&](uint8_t &offset, unsigned size, const std::string &key) {
    const unsigned at = offset != 0 ? offset : (next + 3) & ~3u;
    // The offset as written, or where the capability follows the one before.
    const std::string atText = offset != 0 ? entry.Source().Number(key + ".offset", at)
                                           : NumberText(at, NumberBase::Hexadecimal);
    if (at + size > 0x100) {
      entry.Source().Fail(key, "the capability at " + atText +
                                   " does not fit below 0x100 (it takes " + std::to_string(size) +
                                   " bytes)");
    }
    for (const Placed &other : placed) {
      if (at < other.end && other.first < at + size) {
        entry.Source().Fail(key, "the capability at " + atText + " overlaps " + other.key);
      }
    }
    placed.push_back({at, at + size, key});
    offset = static_cast<uint8_t>(at);
    next = std::max(next, at + size);
  };
  const size_t vpdAt = device.vpd ? device.vpd->position : SIZE_MAX;
  for (size_t index = 0; index <= device.capabilities.size(); index++) {
    if (index == vpdAt) place(device.vpd->offset, 8, device.key + ".vpd");
    if (index < device.capabilities.size())
      place(device.capabilities[index].offset, 2, keys[index]);
  }
}

constexpr uint64_t kMaxBar32Size = uint64_t{1} << 31;
constexpr uint64_t kMaxBar64Size = uint64_t{1} << 63;
constexpr size_t kMaxCapabilities = 16;

void ReadCapabilities(TableReader &entry, DeviceDescription &device) {
  std::vector<std::string> keys;
  if (const toml::array *caps = entry.Array("capabilities")) {
    if (caps->size() > kMaxCapabilities) entry.Fail("capabilities", "at most 16 capabilities");
    for (size_t index = 0; index < caps->size(); index++) {
      const toml::node &node = (*caps)[index];
      const std::string path = entry.KeyPath("capabilities") + "[" + std::to_string(index) + "]";
      entry.Note(path, node);
      Capability capability;
      if (node.is_table()) {
        TableReader table(*node.as_table(), path, entry.Source());
        capability.id = static_cast<uint8_t>(table.Required("id", 8));
        capability.offset =
            static_cast<uint8_t>(table.Ranged("offset", 0x40, 0xFE, "0x40 to 0xFE", 0));
        table.Finish();
      } else {
        capability.id = static_cast<uint8_t>(entry.NodeUnsigned(node, path, 8));
      }
      if (capability.id == 0x03) {
        entry.Source().Fail(path, "describe the VPD capability with vpd = {...}");
      }
      device.capabilities.push_back(capability);
      keys.push_back(path);
    }
  }
  if (auto vpd = entry.Table("vpd")) device.vpd = ReadVpd(*vpd, device.capabilities.size());
  PlaceCapabilities(entry, device, keys);
}

void ReadBars(TableReader &entry, DeviceDescription &device) {
  std::map<unsigned, std::string> slots;
  for (TableReader &barEntry : entry.Tables("bars")) {
    Bar bar;
    bar.key = barEntry.Path();
    bar.index = static_cast<unsigned>(barEntry.Ranged("index", 0, 5, "0 to 5", 0));
    const std::string type = barEntry.Word("type", {"mem32", "mem64"}).value_or("mem32");
    bar.is64 = type == "mem64";
    bar.base = barEntry.Unsigned("base", bar.is64 ? 64 : 32, 0);
    const auto size = bar.is64 ? barEntry.Ranged("size", 16, kMaxBar64Size, "16 to 2^63")
                               : barEntry.Ranged("size", 16, kMaxBar32Size, "16 to 2 GiB");
    if (!size) barEntry.Missing("size");
    bar.size = *size;
    if ((bar.size & (bar.size - 1)) != 0) barEntry.Fail("size", "a BAR size is a power of two");
    if (bar.base % bar.size != 0) {
      barEntry.Fail("base", "the base " + barEntry.Number("base", bar.base) +
                                " is not aligned to the size " + barEntry.Number("size", bar.size));
    }
    if (bar.is64 && bar.index == 5) barEntry.Fail("index", "a 64-bit BAR needs two slots");
    bar.prefetchable = barEntry.Bool("prefetchable", bar.is64);
    for (unsigned slot = bar.index; slot <= bar.index + (bar.is64 ? 1 : 0); slot++) {
      const auto [other, added] = slots.emplace(slot, barEntry.Path());
      if (!added) {
        barEntry.Fail(
            "index", "BAR slot " + std::to_string(slot) + " is also described by " + other->second);
      }
    }
    barEntry.Finish();
    device.bars.push_back(bar);
  }
}

}  // namespace

void ReadHostBridge(TableReader &root, Board &board) {
  auto table = root.Table("host_bridge");
  if (!table) return;
  HostBridgeDescription &bridge = board.hostBridge;
  bridge.id = static_cast<uint32_t>(table->Unsigned("id", 32, bridge.id));
  bridge.baseClass = static_cast<uint8_t>(table->Unsigned("class", 8, bridge.baseClass));
  bridge.subClass = static_cast<uint8_t>(table->Unsigned("subclass", 8, 0));
  bridge.progIf = static_cast<uint8_t>(table->Unsigned("prog_if", 8, 0));
  bridge.revision = static_cast<uint8_t>(table->Unsigned("revision", 8, 0));
  bridge.unclaimedRead = static_cast<uint8_t>(table->Unsigned("unclaimed_read", 8, 0xFF));
  std::map<unsigned, std::string> seen;
  for (TableReader &entry : table->Tables("bus_groups")) {
    BusGroup group;
    group.key = entry.Path();
    const auto number = entry.Ranged("group", 0, 7, "0 to 7");
    if (!number) entry.Missing("group");
    group.group = static_cast<unsigned>(*number);
    if (entry.Has("value")) {
      for (const char *key : {"first", "last"}) {
        if (entry.Has(key)) entry.Fail(key, "give either value or first and last, not both");
      }
      group.value = static_cast<uint32_t>(entry.Required("value", 32));
    } else {
      const auto first = static_cast<uint8_t>(entry.Required("first", 8));
      const auto last = static_cast<uint8_t>(entry.Required("last", 8));
      if (first > last) entry.Fail("last", "the last bus of a group lies below its first bus");
      group.value = BusRangeValue(first, last);
    }
    const auto [other, added] = seen.emplace(group.group, entry.Path());
    if (!added) {
      entry.Fail("group", "bus group " + std::to_string(group.group) + " is also described by " +
                              other->second);
    }
    entry.Finish();
    bridge.busGroups.push_back(group);
  }
  table->Finish();
}

void ReadRootPorts(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("root_port")) {
    RootPortDescription port;
    const auto number = entry.Ranged("port", 1, 4, "1 to 4");
    if (!number) entry.Missing("port");
    port.port = static_cast<unsigned>(*number);
    port.location = static_cast<uint32_t>(entry.Required("location", 32));
    port.bridge.id = static_cast<uint32_t>(entry.Unsigned("id", 32, kDefaultRootPortId));
    ReadBridgeNumbers(entry, port.bridge);
    entry.Finish();
    board.rootPorts.push_back(port);
  }
  for (TableReader &entry : root.Tables("bridge")) {
    BridgeDescription bridge;
    bridge.address = ReadPciLocation(entry, "address");
    bridge.id = static_cast<uint32_t>(entry.Unsigned("id", 32, kDefaultBridgeId));
    ReadBridgeNumbers(entry, bridge);
    entry.Finish();
    board.bridges.push_back(bridge);
  }
}

void ReadDevices(TableReader &root, Board &board) {
  for (TableReader &entry : root.Tables("device")) {
    DeviceDescription device;
    device.key = entry.Path();
    device.address = ReadPciLocation(entry, "address");
    device.id = static_cast<uint32_t>(entry.Required("id", 32));
    device.baseClass = static_cast<uint8_t>(entry.Unsigned("class", 8, 0));
    device.subClass = static_cast<uint8_t>(entry.Unsigned("subclass", 8, 0));
    device.progIf = static_cast<uint8_t>(entry.Unsigned("prog_if", 8, 0));
    device.revision = static_cast<uint8_t>(entry.Unsigned("revision", 8, 0));
    device.subsystem = static_cast<uint32_t>(entry.Unsigned("subsystem", 32, 0));
    if (auto rom = entry.Unsigned("rom_base", 32)) device.romBase = static_cast<uint32_t>(*rom);
    device.command = static_cast<uint16_t>(entry.Unsigned("command", 16, 0));
    ReadBars(entry, device);
    ReadCapabilities(entry, device);
    if (auto mac = entry.Table("mac")) {
      MacDescription description;
      description.address = ParseMac(*mac, "address");
      const auto location = mac->Word(
          "location", {"registers", "registers-split", "serial-number", "serial-number-reversed"});
      if (!location) mac->Missing("location");
      description.location = *location == "registers"         ? MacLocation::Registers
                             : *location == "registers-split" ? MacLocation::RegistersSplit
                             : *location == "serial-number"   ? MacLocation::SerialNumber
                                                              : MacLocation::SerialNumberReversed;
      mac->Finish();
      device.mac = description;
    }
    for (TableReader &block : entry.Tables("config_bytes")) {
      ByteBlock bytes;
      bytes.offset = block.Ranged("offset", 0, 0xFFF, "0 to 0xFFF", 0);
      bytes.bytes = block.Bytes("bytes");
      if (bytes.offset + bytes.bytes.size() > 0x1000) {
        block.Fail("bytes", "the bytes run past the 4 KiB configuration space");
      }
      block.Finish();
      device.configBytes.push_back(std::move(bytes));
    }
    for (TableReader &block : entry.Tables("bar_bytes")) {
      BarBytes bytes;
      bytes.bar = static_cast<unsigned>(block.Ranged("bar", 0, 5, "0 to 5", 0));
      bytes.block.offset = block.Unsigned("offset", 64, 0);
      bytes.block.bytes = block.Bytes("bytes");
      const Bar *bar = nullptr;
      for (const Bar &candidate : device.bars) {
        if (candidate.index == bytes.bar) bar = &candidate;
      }
      if (bar == nullptr)
        block.Fail("bar", "the device describes no BAR " + std::to_string(bytes.bar));
      if (bytes.block.offset > bar->size ||
          bytes.block.bytes.size() > bar->size - bytes.block.offset) {
        block.Fail("offset", "the bytes do not lie inside BAR " + std::to_string(bytes.bar) + " (" +
                                 entry.Source().Number(bar->key + ".size", bar->size) + " bytes)");
      }
      block.Finish();
      device.barBytes.push_back(std::move(bytes));
    }
    entry.Finish();
    board.devices.push_back(std::move(device));
  }
}

}  // namespace bootsim
