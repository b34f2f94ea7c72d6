// Whether the program talks to a person at a terminal, for the command line:
// progress is shown and questions are asked only then.
#pragma once

namespace platform {

bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();

}  // namespace platform
