// What holds for the program's whole run, across its fresh images (fresh_image.h): what it started
// with, kept from main, and what it has said once.
#ifndef SCRIPT_MENU_BRIDGE_RUN_FACTS_H_
#define SCRIPT_MENU_BRIDGE_RUN_FACTS_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Keeps what this image started with: its arguments (copied, since a script may write over main's
// to set a process title), its environment, the file to start it afresh from and its process name.
void KeepStartFacts(char** arguments);

// The arguments and the environment that every image is started with: the program's own, so that
// a script's change to the loader's variables (LD_PRELOAD, say) never reaches the program itself.
// No arguments where the process did not start as the program (a test calling the bridge).
const std::optional<std::vector<std::string>>& StartArguments();
const std::vector<std::string>& StartEnvironment();

// A variable of the environment as it is now, or none.
std::optional<std::string> Variable(const char* name);

// A variable of the start environment, or none; this process's own where it did not start as the
// program.
std::optional<std::string> StartEnvironmentValue(const std::string& name);

// /proc/self/exe, which starts the file this image runs even if it has since been replaced on
// disk (a package upgrade), where that is the program's; else the program's file.
const std::string& ProgramToStart();

// The program's file: the file the kernel lists its code as mapped from (whether the program was
// started by its own name, through the dynamic loader or under a checker), or where /proc is not
// mounted, the path it was started by. Empty if neither tells.
std::filesystem::path ProgramFile();

// The process name the program's first image started with, which the kernel makes the file's name
// at every exec; TakeOverProcessName gives it to a later image.
const std::string& ProcessName();
void TakeOverProcessName(const std::string& name);

// Says "script-menu: <message>" on standard error, unless the program has said it already, in
// this image or one before it (Said, which TakeOverSaid gives to a later image).
void SayOnce(const std::string& message);
const std::vector<std::string>& Said();
void TakeOverSaid(std::vector<std::string> said_before);

#endif  // SCRIPT_MENU_BRIDGE_RUN_FACTS_H_
