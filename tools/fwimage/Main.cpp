// fwimage: firmware images as a flash image holds them. Makes the terse
// (TE) form of a PEI module's image, wraps modules into firmware file system
// files with their dependency expressions, names and versions, puts files
// into a firmware volume, and reads each of these back.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "Depex.h"
#include "Module.h"
#include "TeConvert.h"
#include "Volume.h"
#include "sim/loader/TeImage.h"

namespace {

using namespace fwimage;

Bytes ReadBytes(const std::string &path) { return sim::ReadImageFile(path); }

void WriteBytes(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw FormatError("cannot write " + path);
}

const std::map<std::string, uint16_t> kMachines = {{"ia32", sim::kMachineIa32},
                                                   {"x64", sim::kMachineX64}};
const std::map<std::string, uint16_t> kSubsystems = {
    {"efi_application", sim::kSubsystemEfiApplication},
    {"efi_boot_service_driver", sim::kSubsystemEfiBootServiceDriver},
    {"efi_runtime_driver", sim::kSubsystemEfiRuntimeDriver}};
const std::map<std::string, uint8_t> kFileTypes = {{"peim", kFileTypePeim},
                                                   {"driver", kFileTypeDriver}};

std::string MachineText(uint16_t machine) {
  return machine == sim::kMachineIa32 ? "IA-32" : machine == sim::kMachineX64 ? "x64" : "?";
}

std::string ImageText(const sim::PeImage &image) {
  std::ostringstream text;
  text << MachineText(image.machine) << ", subsystem " << image.subsystem << ", entry "
       << HexText(image.entryRva) << ", preferred base " << HexText(image.preferredBase) << ", "
       << image.sections.size() << " sections, relocations " << image.relocations.size << " bytes";
  if (image.terse) text << ", stripped " << image.headerRva + sim::kTeHeaderSize << " bytes";
  return text.str();
}

void ShowFile(std::ostream &out, const ParsedFile &file) {
  out << "  " << HexText(file.offset) << "  " << FileTypeName(file.type) << " "
      << FormatGuid(file.name) << ", " << file.size << " bytes";
  if (file.alignment > 1) out << ", data aligned to " << file.alignment;
  out << (file.attributes & kFileAttributeChecksum ? ", data checksum" : "") << "\n";
  for (const ParsedSection &section : file.sections) {
    out << "      +" << HexText(section.offset) << " " << SectionTypeName(section.type) << ", "
        << section.size << " bytes";
    switch (section.type) {
      case kSectionPeiDepex:
      case kSectionDxeDepex:
        out << ": "
            << DecodeDepex(section.data,
                           section.type == kSectionPeiDepex ? DepexKind::Pei : DepexKind::Dxe);
        break;
      case kSectionUserInterface:
        out << ": \"" << UserInterfaceText(section) << "\"";
        break;
      case kSectionVersion: {
        const VersionInfo version = ReadVersion(section);
        out << ": \"" << version.text << "\", build " << version.buildNumber;
        break;
      }
      case kSectionTe:
        out << ": "
            << ImageText(sim::ParseTeImage(section.data, sim::kAnyMachine, sim::kAnySubsystem));
        break;
      case kSectionPe32:
        out << ": "
            << ImageText(sim::ParsePeImage(section.data, sim::kAnyMachine, sim::kAnySubsystem));
        break;
      default:
        break;
    }
    out << "\n";
  }
}

// What a file holds, after reading and checking all of it.
void Show(const std::string &path) {
  const Bytes bytes = ReadBytes(path);
  std::ostream &out = std::cout;
  if (bytes.size() >= 2 && bytes[0] == 'V' && bytes[1] == 'Z') {
    out << path << ": TE image, " << bytes.size() << " bytes\n  "
        << ImageText(sim::ParseTeImage(bytes, sim::kAnyMachine, sim::kAnySubsystem)) << "\n";
  } else if (bytes.size() > kVolumeSignatureOffset + 4 &&
             GetLe(&bytes[kVolumeSignatureOffset], 4) == kVolumeSignature) {
    const ParsedVolume volume = ParseVolume(bytes);
    out << path << ": firmware volume, " << volume.length << " bytes, file system "
        << FormatGuid(volume.fileSystem) << ", revision " << int{volume.revision} << ", attributes "
        << HexText(volume.attributes) << " (alignment " << volume.Alignment()
        << (volume.ErasePolarity() ? ", erase polarity 1" : ", erase polarity 0") << ")\n";
    out << "  header " << volume.headerLength << " bytes, blocks:";
    for (const BlockRun &run : volume.blockMap) out << " " << run.count << " x " << run.length;
    out << "\n";
    for (const ParsedFile &file : volume.files) ShowFile(out, file);
    out << "  free space " << volume.freeSpace << " bytes\n";
  } else {
    out << path << ": firmware file\n";
    ShowFile(out, ParseLooseFile(bytes));
  }
}

// The image checks of the build, for a TE image or a module file.
void Check(const std::string &path, uint16_t machine, uint16_t subsystem,
           std::optional<uint8_t> type) {
  const Bytes bytes = ReadBytes(path);
  const std::string name = std::filesystem::path(path).filename();
  if (bytes.size() >= 2 && bytes[0] == 'V' && bytes[1] == 'Z') {
    const sim::PeImage image = sim::ParseTeImage(bytes, machine, subsystem);
    if (image.relocations.size == 0) throw FormatError("no base relocations");
    std::cout << name << ": " << bytes.size() << " bytes, TE, " << ImageText(image) << "\n";
    return;
  }
  const ParsedFile file = ParseLooseFile(bytes);
  if (type && file.type != *type) {
    throw FormatError("a " + FileTypeName(file.type) + " file, expected " + FileTypeName(*type));
  }
  const ModuleInfo module = ReadModuleFile(file, machine, subsystem);
  std::cout << name << ": " << bytes.size() << " bytes, " << FileTypeName(file.type) << " "
            << FormatGuid(file.name) << " \"" << module.uiName << "\" " << module.version.text
            << ", depends on " << module.depex << ", " << SectionTypeName(module.imageType) << " "
            << module.image.sections.size() << " sections\n";
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Firmware images as a flash image holds them: TE images, FFS files, volumes"};
  app.require_subcommand(1);

  std::string input, output;
  auto *te = app.add_subcommand("te", "Make the TE image of a PE32 or PE32+ image");
  te->add_option("image", input, "The PE image")->required();
  te->add_option("-o,--output", output, "The TE image to write")->required();

  ModuleParts module;
  std::string guid, type, imagePath;
  auto *ffs = app.add_subcommand("ffs", "Make the firmware file of a module");
  ffs->add_option("--type", type, "peim (TE image) or driver (PE32 image)")
      ->required()
      ->check(CLI::IsMember({"peim", "driver"}));
  ffs->add_option("--guid", guid, "The file's name GUID")->required();
  ffs->add_option("--name", module.uiName, "The module's name")->required();
  ffs->add_option("--version", module.version, "The version text")->required();
  ffs->add_option("--build", module.buildNumber, "The build number of the version section");
  ffs->add_option("--depex", module.depex, "The dependency expression, e.g. 'gPcdPpiGuid AND TRUE'")
      ->required();
  ffs->add_option("--image", imagePath, "The module's image")->required();
  ffs->add_option("-o,--output", output, "The file to write")->required();

  VolumeParts volume;
  std::vector<std::string> files;
  auto *fv = app.add_subcommand("volume", "Put firmware files into a firmware volume");
  fv->add_option("--block-size", volume.blockSize, "Bytes per block")->capture_default_str();
  fv->add_option("files", files, "The files, in order")->required();
  fv->add_option("-o,--output", output, "The volume to write")->required();

  auto *show = app.add_subcommand("show", "Read a TE image, a firmware file or a volume back");
  show->add_option("file", input)->required();

  std::string machine, subsystem, fileType;
  auto *check = app.add_subcommand("check", "Check a TE image or a module's firmware file");
  check->add_option("file", input)->required();
  check->add_option("--machine", machine)->required()->check(CLI::IsMember({"ia32", "x64"}));
  check->add_option("--subsystem", subsystem)
      ->required()
      ->check(CLI::IsMember({"efi_application", "efi_boot_service_driver", "efi_runtime_driver"}));
  check->add_option("--type", fileType, "The file type a firmware file must have")
      ->check(CLI::IsMember({"peim", "driver"}));

  CLI11_PARSE(app, argc, argv);
  try {
    if (*te) {
      WriteBytes(output, ConvertToTe(ReadBytes(input)));
    } else if (*ffs) {
      const std::optional<Guid> name = ParseGuid(guid);
      if (!name) throw FormatError("'" + guid + "' is not a GUID in registry form");
      module.name = *name;
      module.type = kFileTypes.at(type);
      module.image = ReadBytes(imagePath);
      WriteBytes(output, BuildModuleFile(module));
    } else if (*fv) {
      for (const std::string &file : files) volume.files.push_back(ReadBytes(file));
      WriteBytes(output, BuildVolume(volume));
    } else if (*show) {
      Show(input);
    } else if (*check) {
      std::optional<uint8_t> wanted;
      if (!fileType.empty()) wanted = kFileTypes.at(fileType);
      Check(input, kMachines.at(machine), kSubsystems.at(subsystem), wanted);
    }
  } catch (const std::runtime_error &error) {
    std::cerr << "fwimage: " << (input.empty() ? output : input) << ": " << error.what() << "\n";
    return 1;
  }
  return 0;
}
