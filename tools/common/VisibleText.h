// Text from a file or a peer, made safe to print on a terminal: control bytes
// and broken UTF-8 are shown as \xNN instead of acting on the terminal.
#pragma once

#include <string>
#include <string_view>

namespace veltor::tools {

// Printable ASCII, tabs and well-formed UTF-8 (C1 controls excepted) pass
// unchanged; every other byte becomes \xNN.
std::string VisibleText(std::string_view bytes);

}  // namespace veltor::tools
