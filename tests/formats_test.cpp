// The formats the program reads, as the pure functions that read them see them: a task's line from
// the kernel, the record its own former image handed over, the numbers the user types. Each case
// is what goes in and what is read out.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/call_leftovers.h"
#include "bridge/fresh_image.h"
#include "menu/menu_input.h"

namespace {

using namespace std::string_literals;

TEST(Formats, TaskStateAndFlagsComeFromAfterTheLastBracket) {
  using Task = std::optional<std::pair<char, unsigned long>>;
  // pid (name) state ppid pgrp session tty_nr tpgid flags ...
  EXPECT_EQ(TaskStateAndFlags("12 (python3) S 1 12 12 0 -1 4194368 20 0 0 0"),
            Task(std::make_pair('S', 4194368UL)));
  // A name may hold spaces, brackets and what looks like fields.
  EXPECT_EQ(TaskStateAndFlags("7 (a) R 1 2 3 4 5 6 (b)) X 0 0 0 0 0 4"),
            Task(std::make_pair('X', 4UL)));
  EXPECT_EQ(TaskStateAndFlags("9 (worker) Z 1 9 9 0 -1 4 0"), Task(std::make_pair('Z', 4UL)));
  // Cut short, empty (a task that ended as it was read), or no stat line at all.
  EXPECT_EQ(TaskStateAndFlags("12 (python3) S 1 12 12"), std::nullopt);
  EXPECT_EQ(TaskStateAndFlags(""), std::nullopt);
  EXPECT_EQ(TaskStateAndFlags("12 python3 S 1 12 12 0 -1 4"), std::nullopt);
}

// The fields of `record` as TakeField and TakeFields take them (a list where the shape says 'L'),
// or nothing if one is not there whole or something is left over.
std::optional<std::vector<std::string>> Taken(const std::string& record, std::string_view shape) {
  std::string_view rest = record;
  std::vector<std::string> taken;
  for (const char kind : shape) {
    std::string_view field;
    std::vector<std::string_view> fields;
    if (kind == 'L' ? !TakeFields(rest, fields) : !TakeField(rest, field)) {
      return std::nullopt;
    }
    if (kind != 'L') {
      fields.push_back(field);
    }
    taken.insert(taken.end(), fields.begin(), fields.end());
  }
  return rest.empty() ? std::optional(taken) : std::nullopt;
}

TEST(Formats, HandedOverFieldsComeBackByteForByte) {
  // Any bytes: empty, colons and digits that look like a field's start, NUL, a line end, 1 MB.
  const std::vector<std::string> fields = {"",     "3:abc", "12",  "a\0b"s,
                                           "\n\n", ":",     "x=y", std::string(1 << 20, 'm')};
  std::string record;
  AppendField(record, "first");
  AppendFields(record, fields);
  AppendFields(record, {});
  AppendField(record, "last");
  std::vector<std::string> expected = {"first"};
  expected.insert(expected.end(), fields.begin(), fields.end());
  expected.emplace_back("last");
  EXPECT_EQ(Taken(record, "FLLF"), expected);
  EXPECT_EQ(record.substr(0, 19), "5:first1:80:5:3:abc");  // the form a record is written in
}

TEST(Formats, HandedOverFieldsThatAreNotThereWholeAreRefused) {
  for (const std::string& record : {
           ""s,                           // nothing
           "5:abcd"s,                     // shorter than its length
           "5abcde"s,                     // no colon
           "x:abc"s,                      // no length
           "-1:a"s,                       // a length no field has
           ":abc"s,                       // an empty length
           "99999999999999999999999:a"s,  // a length beyond any
       }) {
    EXPECT_EQ(Taken(record, "F"), std::nullopt) << record;
  }
  EXPECT_EQ(Taken("3:abcx", "F"), std::nullopt);   // something left over
  EXPECT_EQ(Taken("1:21:a", "L"), std::nullopt);   // a count of 2, one field
  EXPECT_EQ(Taken("2:1x1:a", "L"), std::nullopt);  // a count that is no number
  EXPECT_EQ(Taken("1:-1:a", "L"), std::nullopt);
  EXPECT_EQ(Taken("0:", "L"), std::nullopt);
  EXPECT_EQ(Taken("1:0", "L"), std::vector<std::string>());
  EXPECT_EQ(Taken("1:11:a", "L"), std::vector<std::string>{"a"});
}

// What ReadInt makes of input that has already ended at `input`: the int or nothing, then what is
// left unread.
std::pair<std::optional<int>, std::string> ReadFrom(std::string input) {
  std::optional<int> input_end = 0;
  int value = 0;
  const bool read = ReadInt(input, input_end, value);
  return {read ? std::optional(value) : std::nullopt, input};
}

TEST(Formats, NumbersAreReadAsFormattedExtractionReadsThem) {
  using Read = std::pair<std::optional<int>, std::string>;
  // A sign and digits, as far as they go; what follows stays for the next read.
  EXPECT_EQ(ReadFrom("5\n1\n"), Read(5, "\n1\n"));
  EXPECT_EQ(ReadFrom("-7x\n"), Read(-7, "x\n"));
  EXPECT_EQ(ReadFrom("+12 3"), Read(12, " 3"));
  EXPECT_EQ(ReadFrom("007\r\n"), Read(7, "\r\n"));
  EXPECT_EQ(ReadFrom("2147483647"), Read(2147483647, ""));
  EXPECT_EQ(ReadFrom("-2147483648\n"), Read(-2147483648, "\n"));
  EXPECT_EQ(ReadFrom("1-2\n"), Read(1, "-2\n"));  // a sign only first
  // No int: the rest of the line goes, the line end with it, and the next line is left whole.
  EXPECT_EQ(ReadFrom("abc\n2\n"), Read(std::nullopt, "2\n"));
  EXPECT_EQ(ReadFrom("-\n3\n"), Read(std::nullopt, "3\n"));
  EXPECT_EQ(ReadFrom("+\n"), Read(std::nullopt, ""));
  EXPECT_EQ(ReadFrom("--5\n6"), Read(std::nullopt, "6"));
  EXPECT_EQ(ReadFrom("2147483648 9\n1\n"), Read(std::nullopt, "1\n"));
  EXPECT_EQ(ReadFrom("-2147483649\n"), Read(std::nullopt, ""));
  EXPECT_EQ(ReadFrom("x"), Read(std::nullopt, ""));
  EXPECT_EQ(ReadFrom(""), Read(std::nullopt, ""));
}

TEST(Formats, InputIsExhaustedOnlyWhenNothingButWhiteSpaceIsLeft) {
  for (const auto& [input, exhausted, left] :
       std::vector<std::tuple<std::string, bool, std::string>>{{" \t\r\n\v\f", true, ""},
                                                               {"", true, ""},
                                                               {"\n\n 4\n", false, "4\n"},
                                                               {"x", false, "x"}}) {
    std::string unread = input;
    std::optional<int> input_end = EIO;  // ended, and with an error: nothing more is read
    EXPECT_EQ(InputExhausted(unread, input_end), exhausted) << input;
    EXPECT_EQ(unread, left) << input;
    EXPECT_EQ(input_end, EIO);
  }
}

}  // namespace
