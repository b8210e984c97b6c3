// The relay's command line, `veltor [OPTION]... FILE`, read without touching
// the process: the same arguments always give the same answer, so veltor and
// veltor-check read a command line alike and tests check it against known
// answers.
//
// Grammar: GNU long options only, each as --name=VALUE or as --name VALUE
// (the next argument is the value, whatever it looks like), and only before
// FILE; option names are taken whole, never abbreviated. An argument "--" ends
// the options, so FILE may begin with '-'; a lone "-" is FILE. Anything after
// FILE makes too many arguments. An option given twice takes its last value.
// A SIZE is a decimal byte count, or one followed by K (KiB) or M (MiB);
// k and m mean the same, there being no other unit a byte count could mean.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Options.h"

namespace veltor {

struct CommandLine {
  enum class Action {
    kRun,      // options and configPath are set
    kHelp,     // --help: print HelpText(), status 0
    kVersion,  // --version: print the version line, status 0
    kRefuse,   // print `error` (when not empty), then the usage line; status -2
  };
  Action action = Action::kRefuse;
  RelayOptions options;
  std::string configPath;
  // One line naming the option and what is wrong with it, with its line end;
  // empty when there is no FILE or more than one, which gets the usage line alone.
  std::string error;
};

// `args` are the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The lines of --help that list the options, one line each; both programs
// print them under their own usage line.
std::string OptionsHelpText();

// A size as written on the command line; none when `text` is not one or is
// beyond 64 bits.
std::optional<int64_t> ParseSize(std::string_view text);
// A size as the messages and help show it: "16M", "64K" or a byte count.
std::string SizeText(int64_t bytes);

}  // namespace veltor
