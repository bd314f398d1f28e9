// The formats the program reads from the kernel and from its own former image, as the pure
// functions that read them see them: each case a line in, what is read out.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "bridge/call_leftovers.h"

namespace {

TEST(SystemFormats, TaskStateAndFlagsComeFromAfterTheLastBracket) {
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

}  // namespace
