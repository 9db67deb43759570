// The reader of board descriptions: the TOML text is parsed (BoardToml.h),
// each section read (BoardSections.h), and the checks that span several
// sections, the PCI topology and the tokens, run once everything is read
// (BoardChecks.h).
#include "BoardFile.h"

#include <cstdio>

#include <toml++/toml.h>

#include "BoardChecks.h"
#include "BoardSections.h"
#include "BoardSource.h"
#include "BoardToml.h"
#include "TomlText.h"

namespace bootsim {

BoardError::BoardError(std::string file, uint32_t line, std::string key, std::string message)
    : std::runtime_error([&] {
        std::string text = file;
        if (line != 0) text += ":" + std::to_string(line);
        text += ": ";
        if (!key.empty()) text += "key '" + key + "': ";
        return text + message;
      }()),
      file_(std::move(file)),
      line_(line),
      key_(std::move(key)),
      message_(std::move(message)) {}

std::string PciLocation::Text() const {
  char text[16];
  std::snprintf(text, sizeof text, "%02x:%02x.%x", bus, device, function);
  return text;
}

Board ParseBoard(std::string_view text, const std::string &file) {
  if (text.size() > kMaxBoardFileSize) {
    throw BoardError(file, 0, "", "the description is larger than 4 MiB");
  }
  const std::string ascii = AsciiTomlText(text, file);
  toml::table document;
  try {
    document = toml::parse(ascii, file);
  } catch (const toml::parse_error &error) {
    throw BoardError(file, LineOf(error.source()), "",
                     "TOML syntax error: " + std::string(error.description()));
  }
  BoardSource source(file);
  Board board = ReadBoardSections(document, source);
  CheckBoard(board, source);
  return board;
}

Board LoadBoardFile(const std::string &path) { return ParseBoard(ReadBoardText(path), path); }

Board LoadReferenceBoard() { return ParseBoard(ReferenceBoardText(), "built-in reference board"); }

}  // namespace bootsim
