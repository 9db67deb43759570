// image-stack: the worst-case stack depth of one firmware image, from its
// objects' stack-usage records and the direct calls in their disassembly.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "ObjectReader.h"
#include "StackGraph.h"

namespace {

using namespace image_stack;

std::string Quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Runs a command and returns what it printed; nullopt when it failed.
std::optional<std::string> Capture(const std::string &command) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    return std::nullopt;
  }
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
    output.append(buffer, n);
  }
  if (pclose(pipe.release()) != 0) {
    return std::nullopt;
  }
  return output;
}

// Readable names for the C++ symbols (MSVC mangling, "?Name@@..."), through
// llvm-undname; a symbol it cannot read keeps its raw name.
std::map<std::string, std::string> Demangle(const std::string &undname,
                                            const std::vector<Function> &functions) {
  std::map<std::string, std::string> names;
  std::string command = undname;
  std::size_t mangled = 0;
  for (const Function &f : functions) {
    names[f.name] = f.name;
    if (f.name.starts_with("?")) {
      command += " " + Quote(f.name);
      ++mangled;
    }
  }
  if (undname.empty() || mangled == 0) {
    return names;
  }
  // Output: the symbol, its demangled form, an empty line.
  auto output = Capture(command + " 2>/dev/null");
  if (!output) {
    return names;
  }
  std::istringstream lines(*output);
  std::string symbol, demangled;
  while (std::getline(lines, symbol) && std::getline(lines, demangled)) {
    if (!demangled.empty() && !demangled.starts_with("error:") && names.contains(symbol)) {
      names[symbol] = ShortDemangled(demangled);
    }
    std::string blank;
    std::getline(lines, blank);
  }
  return names;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Worst-case stack depth of a firmware image from its objects"};
  std::string imageName = "image", archName, entry, objdump = "llvm-objdump-14",
              undname = "llvm-undname-14", mapFile;
  std::vector<std::string> objects;
  std::size_t largest = 8;
  app.add_option("--name", imageName, "Image name for the report");
  app.add_option("--arch", archName, "x64 or ia32")
      ->required()
      ->check(CLI::IsMember({"x64", "ia32"}));
  app.add_option("--entry", entry, "The image's entry point symbol")->required();
  app.add_option("--objdump", objdump, "llvm-objdump to disassemble with");
  app.add_option("--undname", undname, "llvm-undname for readable names (empty: raw names)");
  app.add_option("--map", mapFile, "Linker map: only functions placed in the image count");
  app.add_option("--largest", largest, "How many of the largest frames to list");
  app.add_option("objects", objects, "The image's objects (X.obj with X.su beside it)")->required();
  CLI11_PARSE(app, argc, argv);

  const Arch arch = archName == "x64" ? Arch::X64 : Arch::Ia32;
  StackGraph graph(arch == Arch::X64 ? 8 : 4);
  for (const std::string &object : objects) {
    auto text = Capture(objdump + " -dr --no-show-raw-insn " + Quote(object));
    if (!text) {
      std::cerr << "image-stack: cannot disassemble " << object << "\n";
      return 1;
    }
    std::istringstream disassembly(*text);
    for (Function &f : ParseDisassembly(arch, object, disassembly)) {
      graph.Add(std::move(f));
    }
  }
  std::size_t missingFrames = 0;
  for (const std::string &object : objects) {
    const auto su = std::filesystem::path(object).replace_extension(".su");
    std::ifstream records(su);
    if (!records) {
      std::cerr << "image-stack: no stack-usage records " << su << "\n";
      return 1;
    }
    for (const FrameRecord &record : ParseStackUsage(records)) {
      graph.SetFrame(record.name, object, record.bytes, record.dynamic);
    }
  }
  if (!mapFile.empty()) {
    std::ifstream map(mapFile);
    if (!map) {
      std::cerr << "image-stack: cannot read " << mapFile << "\n";
      return 1;
    }
    graph.Retain(ParseLinkerMap(arch, map));
  }
  graph.Compute();

  const auto &functions = graph.Functions();
  const auto &depths = graph.Depths();
  const auto names = Demangle(undname, functions);
  auto name = [&](std::size_t f) { return names.at(functions[f].name); };
  auto chainText = [&](std::size_t f) {
    std::string text;
    for (std::size_t link : depths[f].chain) {
      text +=
          (text.empty() ? "" : " > ") + name(link) + " " + std::to_string(functions[link].frame);
    }
    return text;
  };
  // Calls through pointers reachable from a root: boot/PEI services,
  // protocol and PPI members, back-end tables. Their callees are not counted.
  auto indirectSites = [&](std::size_t root) {
    std::size_t sites = 0;
    for (std::size_t f : graph.Reachable(root)) {
      for (const CallSite &call : functions[f].calls) {
        sites += !graph.Resolve(f, call.callee).has_value();
      }
    }
    return sites;
  };
  for (std::size_t f = 0; f < functions.size(); ++f) {
    missingFrames += !functions[f].frameKnown;
  }

  std::vector<std::size_t> roots = graph.Roots();
  const auto entryIndex = graph.Find(NormalizeSymbol(arch, entry));
  std::stable_sort(roots.begin(), roots.end(), [&](std::size_t a, std::size_t b) {
    if ((a == entryIndex) != (b == entryIndex)) {
      return a == entryIndex;
    }
    return depths[a].bytes > depths[b].bytes;
  });

  std::cout << imageName << " stack depth (" << archName << ", " << graph.ReturnAddressBytes()
            << "-byte return address; frame + return address + deepest direct callee chain)\n";
  std::optional<std::size_t> deepest;
  for (std::size_t f : roots) {
    if (!deepest || depths[f].bytes > depths[*deepest].bytes) {
      deepest = f;
    }
  }
  if (deepest) {
    std::cout << "  image-wide maximum: " << depths[*deepest].bytes << " bytes from "
              << name(*deepest) << "\n";
  }
  if (!entryIndex) {
    std::cout << "  entry " << entry << " not found among the image's functions\n";
  }
  std::cout << "  roots (the entry, then functions reached only through pointers), bytes:\n";
  for (std::size_t f : roots) {
    std::cout << "    " << depths[f].bytes << "  " << name(f)
              << (f == entryIndex ? " [entry]" : "");
    if (std::size_t sites = indirectSites(f)) {
      std::cout << " [+" << sites << " calls through pointers]";
    }
    for (std::size_t link : graph.Reachable(f)) {
      if (depths[link].recursive) {
        std::cout << " [recursion]";
        break;
      }
    }
    std::cout << "\n      " << chainText(f) << "\n";
  }

  std::vector<std::size_t> byFrame(functions.size());
  for (std::size_t f = 0; f < byFrame.size(); ++f) {
    byFrame[f] = f;
  }
  std::stable_sort(byFrame.begin(), byFrame.end(), [&](std::size_t a, std::size_t b) {
    return functions[a].frame > functions[b].frame;
  });
  byFrame.resize(std::min(largest, byFrame.size()));
  std::cout << "  largest frames, bytes:\n";
  for (std::size_t f : byFrame) {
    std::cout << "    " << functions[f].frame << "  " << name(f)
              << (functions[f].frameDynamic ? " [grows at run time]" : "") << "\n";
  }

  std::map<std::string, std::vector<std::string>> pointerCalls;
  for (std::size_t f = 0; f < functions.size(); ++f) {
    for (const CallSite &call : functions[f].calls) {
      if (!graph.Resolve(f, call.callee)) {
        const std::uint32_t held =
            call.tail ? call.depth.value_or(functions[f].frame)
                      : std::max(call.depth.value_or(functions[f].frame), functions[f].frame);
        pointerCalls[name(f)].push_back((call.callee.empty() ? call.operand : call.callee) + "@" +
                                        std::to_string(held));
      }
    }
  }
  if (!pointerCalls.empty()) {
    std::cout << "  calls not followed (through pointers or outside the image; their callees'"
                 " stack is not counted; @N: bytes the caller holds below its return address):\n";
    for (const auto &[caller, targets] : pointerCalls) {
      std::cout << "    " << caller << ":";
      for (const std::string &target : targets) {
        std::cout << " " << target;
      }
      std::cout << "\n";
    }
  }
  for (const Recursion &recursion : graph.Recursions()) {
    std::cout << "  recursion (one activation of each counted):";
    for (std::size_t f : recursion.members) {
      std::cout << " " << name(f);
    }
    std::cout << "\n";
  }
  if (missingFrames) {
    std::cout << "  " << missingFrames
              << " functions without a stack-usage record (counted as 0)\n";
  }
  return entryIndex ? 0 : 1;  // a report without the entry is not the image's
}
