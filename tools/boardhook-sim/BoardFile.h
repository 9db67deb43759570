// Reads a board description in TOML (docs/board-format.md) and checks it:
// every key known, every number in the range of its field, the topology free
// of contradictions. Bad input is reported as a BoardError that names the
// file, the line and the key.
#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

#include "Board.h"

namespace bootsim {

class BoardError : public std::runtime_error {
 public:
  BoardError(std::string file, uint32_t line, std::string key, std::string message);

  const std::string &File() const { return file_; }
  uint32_t Line() const { return line_; }  // 0 when no line applies
  const std::string &Key() const { return key_; }
  const std::string &Message() const { return message_; }

 private:
  std::string file_;
  uint32_t line_;
  std::string key_;
  std::string message_;
};

// Parses and checks a description held in `text`; `file` names it in
// messages and in Board::source.
Board ParseBoard(std::string_view text, const std::string &file);

// Reads the file and parses it; a file that cannot be read is a BoardError
// without a line.
Board LoadBoardFile(const std::string &path);

// The built-in reference board (boards/reference.toml, embedded at build
// time): its text and its parsed form.
std::string_view ReferenceBoardText();
Board LoadReferenceBoard();

}  // namespace bootsim
