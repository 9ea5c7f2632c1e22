#pragma once

// A repository client's refusal in plain words: what failed and what to do, in one line
// every front end shows as it is (the command line, the windows, the page).

#include <string>

#include "firmware/tuf/updater.h"

namespace zorbent::tuf {

std::string ProblemSentence(const Problem& problem);

}  // namespace zorbent::tuf
