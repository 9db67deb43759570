#include "GdbRemote.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "HexText.h"

namespace firmware_vm {

namespace {

// The stub's answer to a request it refuses is "E" and two hex digits.
bool IsErrorReply(const std::string &Reply) { return Reply.size() == 3 && Reply[0] == 'E'; }

std::vector<std::uint8_t> ParseHexBytes(const std::string &Text) {
  if (Text.size() % 2 != 0) {
    throw std::runtime_error("odd hex reply: " + Text);
  }
  std::vector<std::uint8_t> Bytes;
  for (std::size_t At = 0; At < Text.size(); At += 2) {
    Bytes.push_back(static_cast<std::uint8_t>(std::stoul(Text.substr(At, 2), nullptr, 16)));
  }
  return Bytes;
}

std::string HexNumber(std::uint64_t Value) {
  char Text[20];
  std::snprintf(Text, sizeof(Text), "%llx", static_cast<unsigned long long>(Value));
  return Text;
}

// Registers travel as little-endian byte strings.
std::uint64_t LittleEndian(const std::vector<std::uint8_t> &Bytes) {
  std::uint64_t Value = 0;
  for (std::size_t Index = Bytes.size(); Index-- > 0;) {
    Value = (Value << 8) | Bytes[Index];
  }
  return Value;
}

// Reads of memory in pieces the stub's packet buffer holds.
constexpr std::size_t MEMORY_CHUNK = 1024;

}  // namespace

void GdbRemote::Start() {
  // A stub without no-ack mode answers with an empty packet and goes on
  // acknowledging, and expecting acknowledgements.
  Acknowledge_ = Request("QStartNoAckMode") != "OK";
  std::string Description = Request("qXfer:features:read:target.xml:0,ffb");
  if (Description.empty() || (Description[0] != 'l' && Description[0] != 'm')) {
    throw std::runtime_error("no target description from the gdb stub: " + Description);
  }
}

void GdbRemote::Continue() { Send("c"); }

void GdbRemote::Interrupt() {
  if (write(ToStub_, "\x03", 1) != 1) {
    throw std::runtime_error("cannot write to the gdb stub");
  }
}

std::optional<std::string> GdbRemote::WaitForStop(std::chrono::milliseconds Timeout) {
  std::optional<std::string> Reply = Receive(Timeout);
  if (!Reply) {
    return std::nullopt;
  }
  return CheckStop(*Reply);
}

void GdbRemote::Step() {
  Send("s");
  CheckStop(*Receive(std::nullopt));
}

std::uint64_t GdbRemote::ReadRegister(Register Which) {
  return LittleEndian(ParseHexBytes(Request("p" + HexNumber(static_cast<unsigned>(Which)))));
}

void GdbRemote::WriteRegister(Register Which, std::uint64_t Value) {
  std::vector<std::uint8_t> Bytes;
  for (int Index = 0; Index < 8; Index++) {
    Bytes.push_back(static_cast<std::uint8_t>(Value >> (8 * Index)));
  }
  RequestOk("P" + HexNumber(static_cast<unsigned>(Which)) + "=" + HexBytes(Bytes));
}

std::vector<std::uint8_t> GdbRemote::ReadMemory(std::uint64_t Address, std::size_t Length) {
  std::vector<std::uint8_t> Bytes;
  while (Bytes.size() < Length) {
    std::size_t Piece = std::min(MEMORY_CHUNK, Length - Bytes.size());
    std::vector<std::uint8_t> Read =
        ParseHexBytes(Request("m" + HexNumber(Address + Bytes.size()) + "," + HexNumber(Piece)));
    if (Read.size() != Piece) {
      throw std::runtime_error("short memory read at 0x" + HexNumber(Address + Bytes.size()));
    }
    Bytes.insert(Bytes.end(), Read.begin(), Read.end());
  }
  return Bytes;
}

void GdbRemote::WriteMemory(std::uint64_t Address, const std::vector<std::uint8_t> &Bytes) {
  RequestOk("M" + HexNumber(Address) + "," + HexNumber(Bytes.size()) + ":" + HexBytes(Bytes));
}

void GdbRemote::InsertBreakpoint(std::uint64_t Address) {
  RequestOk("Z1," + HexNumber(Address) + ",1");
}

void GdbRemote::RemoveBreakpoint(std::uint64_t Address) {
  RequestOk("z1," + HexNumber(Address) + ",1");
}

void GdbRemote::Send(const std::string &Payload) {
  unsigned Sum = 0;
  for (char Char : Payload) {
    Sum += static_cast<unsigned char>(Char);
  }
  char Checksum[4];
  std::snprintf(Checksum, sizeof(Checksum), "#%02x", Sum & 0xFF);
  std::string Packet = "$" + Payload + Checksum;
  std::size_t Written = 0;
  while (Written < Packet.size()) {
    ssize_t Count = write(ToStub_, Packet.data() + Written, Packet.size() - Written);
    if (Count < 0 && errno == EINTR) {
      continue;
    }
    if (Count <= 0) {
      throw StubGone{};
    }
    Written += static_cast<std::size_t>(Count);
  }
}

std::optional<std::string> GdbRemote::Receive(std::optional<std::chrono::milliseconds> Timeout) {
  for (;;) {
    // Acknowledgements before a packet are skipped; the payload ends at '#'
    // (hex payloads and stop replies hold neither '#' nor escapes).
    std::size_t Start = Pending_.find('$');
    if (Start != std::string::npos) {
      std::size_t End = Pending_.find('#', Start);
      if (End != std::string::npos && End + 2 < Pending_.size()) {
        std::string Payload = Pending_.substr(Start + 1, End - Start - 1);
        Pending_.erase(0, End + 3);
        if (Acknowledge_ && write(ToStub_, "+", 1) != 1) {
          throw StubGone{};
        }
        return Payload;
      }
    }
    pollfd Poll = {FromStub_, POLLIN, 0};
    int Ready = poll(&Poll, 1, Timeout ? static_cast<int>(Timeout->count()) : -1);
    if (Ready < 0 && errno == EINTR) {
      continue;
    }
    if (Ready == 0) {
      return std::nullopt;
    }
    char Buffer[4096];
    ssize_t Count = read(FromStub_, Buffer, sizeof(Buffer));
    if (Count < 0 && errno == EINTR) {
      continue;
    }
    if (Count <= 0) {
      throw StubGone{};
    }
    Pending_.append(Buffer, static_cast<std::size_t>(Count));
  }
}

std::string GdbRemote::Request(const std::string &Payload) {
  Send(Payload);
  std::string Reply = *Receive(std::nullopt);
  if (IsErrorReply(Reply)) {
    throw std::runtime_error("the gdb stub refused \"" + Payload.substr(0, 40) + "\": " + Reply);
  }
  return Reply;
}

void GdbRemote::RequestOk(const std::string &Payload) {
  std::string Reply = Request(Payload);
  if (Reply != "OK") {
    throw std::runtime_error("the gdb stub did not do \"" + Payload.substr(0, 40) + "\": \"" +
                             Reply + "\"");
  }
}

std::string GdbRemote::CheckStop(const std::string &Reply) {
  if (Reply.empty() || Reply[0] == 'W' || Reply[0] == 'X') {
    throw StubGone{};
  }
  if (Reply[0] != 'T' && Reply[0] != 'S') {
    throw std::runtime_error("unexpected reply from the gdb stub: " + Reply);
  }
  return Reply;
}

}  // namespace firmware_vm
