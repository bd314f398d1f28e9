// Random input never hurts: whatever is typed, the program ends by itself with status 0, never by
// a signal, writes nothing on standard error, and every line it writes is one of the dialogue's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>
#include <string>

#include "support/program.h"

namespace {

constexpr unsigned kSeed = 20261208;
constexpr int kRuns = 40;  // bounded: each run is at most a few cycles
constexpr int kMostTokens = 6;

std::string Pick(std::mt19937& random, std::initializer_list<const char*> choices) {
  return *(choices.begin() +
           std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(random));
}

std::string Bytes(std::mt19937& random, int low, int high, std::size_t most) {
  std::string bytes(std::uniform_int_distribution<std::size_t>(1, most)(random), '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(std::uniform_int_distribution<int>(low, high)(random));
  }
  return bytes;
}

std::string Token(std::mt19937& random) {
  switch (std::uniform_int_distribution<int>(0, 9)(random)) {
    case 0:
    case 1:
      return Pick(random, {"1", "2", "1", "2", "3", "0", "-1", "+2", "01", "4"});
    case 2:
      return std::to_string(static_cast<std::int32_t>(random()));
    case 3:
      return Pick(random, {"", "-", "+"}) + Bytes(random, '0', '9', 5000);  // a very long number
    case 4:
      return Pick(random, {"+", "-", "+-3", "--1", "-+", "2-", "1e3", "0x10", "3.5"});
    case 5:
      return Bytes(random, 'a', 'z', 40);
    case 6:
      return Bytes(random, 0, 8, 4);  // NUL and other control bytes
    case 7:
      return Bytes(random, 0x80, 0xFF, 8);  // high bytes
    case 8:
      return Pick(random, {"1", "2", "12"}) + Bytes(random, 'a', 'z', 3);  // a number glued to text
    default:
      return Bytes(random, 'a', 'z', 100000);  // a very long word
  }
}

std::string RandomInput(std::mt19937& random) {
  std::string input;
  const int tokens = std::uniform_int_distribution<int>(0, kMostTokens)(random);
  for (int i = 0; i < tokens; ++i) {
    input += Token(random);
    input += Pick(random, {" ", "\n", "\n", "\t", "\r\n", "\v\f", "  \n\n"});
  }
  if (!input.empty() && std::uniform_int_distribution<int>(0, 2)(random) == 0) {
    input.pop_back();  // no final line end
  }
  return input;
}

// The input, printable and short enough to read in a failure message.
std::string Shown(const std::string& input) {
  std::ostringstream shown;
  for (unsigned char byte : input.substr(0, 200)) {
    if (byte >= 0x20 && byte < 0x7F) {
      shown << byte;
    } else {
      shown << "\\x" << std::hex << static_cast<int>(byte) << std::dec;
    }
  }
  if (input.size() > 200) {
    shown << "... (" << input.size() << " bytes)";
  }
  return shown.str();
}

// One of the dialogue's own lines, or the echo module's line for a call with an int.
bool IsDialogueLine(const std::string& line) {
  if (line.empty() || line == "menu" || line == "Enter a number." ||
      line == "Invalid input, try again.") {
    return true;
  }
  for (const std::string call : {"PrintMe(", "DoubleValue("}) {
    if (line.rfind(call, 0) == 0 && line.size() > call.size() + 1 && line.back() == ')') {
      std::string number = line.substr(call.size(), line.size() - call.size() - 1);
      if (number[0] == '-') {
        number.erase(0, 1);
      }
      return !number.empty() && std::all_of(number.begin(), number.end(),
                                            [](unsigned char c) { return std::isdigit(c) != 0; });
    }
  }
  return false;
}

TEST(RandomInput, NeverHurts) {
  const support::TempDir module;
  support::WriteModule(module.path, support::kEchoModule);
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};

  std::mt19937 random(kSeed);
  for (int run = 0; run < kRuns; ++run) {
    const std::string input = RandomInput(random);
    SCOPED_TRACE("run " + std::to_string(run) + ", input: " + Shown(input));
    const auto outcome = support::RunProgram(launch, input);
    ASSERT_FALSE(outcome.timed_out);
    ASSERT_EQ(outcome.signal, 0);
    ASSERT_EQ(outcome.exit_code, 0);
    ASSERT_EQ(outcome.err, "");
    std::istringstream lines(outcome.out);
    for (std::string line; std::getline(lines, line);) {
      ASSERT_TRUE(IsDialogueLine(line)) << "unexpected line: " << Shown(line);
    }
  }
}

}  // namespace
