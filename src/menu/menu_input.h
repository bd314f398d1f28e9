// The menu's standard input, read through a buffer of the menu's own rather than C's stdin, which
// is where a script's input() reads from on a terminal: what is left of the line with the number
// stays the menu's, and the script gets the next line the user types.
//
// `unread` is what the menu has read and not yet taken: input typed ahead, the rest of a line, a
// pipe's contents written all at once. `input_end` is set once standard input has nothing more: 0
// when it ended, the read's error when it cannot be read. Each function reads more from standard
// input only when `unread` runs out and the input has not ended.
#ifndef SCRIPT_MENU_MENU_MENU_INPUT_H_
#define SCRIPT_MENU_MENU_MENU_INPUT_H_

#include <optional>
#include <string>

// Skips white space, line ends included, as `>> std::ws` does. True when nothing else can be
// read: the input has ended, or it cannot be read at all.
bool InputExhausted(std::string& unread, std::optional<int>& input_end);

// Reads one int as formatted extraction (`>>`) reads it, once white space is skipped: an optional
// sign and the digits that follow, as far as they go. False when these make no int (text, or a
// number outside the int range); the rest of that line is then dropped, so the next read starts
// afresh.
bool ReadInt(std::string& unread, std::optional<int>& input_end, int& value);

#endif  // SCRIPT_MENU_MENU_MENU_INPUT_H_
