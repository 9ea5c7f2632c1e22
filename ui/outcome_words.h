#pragma once

#include <string>

#include "engine/link.h"
#include "engine/outcome.h"
#include "ui/main_view.h"

namespace zorbent::ui {

// The line that closes a command in the output box, without its end: how an Update or a Read
// ended and what to do next, in the window's terms (its buttons, lists, fields and
// questions). opened: the connection was made at all; seconds: the command's time.
std::string WindowVerdict(const JobOutcome& outcome, bool update, bool opened, double seconds);

// How the command looks at a glance: a finished update whose version is not the file's is
// neither a success nor a failure.
OutcomeLook LookOf(const JobOutcome& outcome, bool opened);

// The line under the bar while a command waits: what for and how long at most, so a silent
// adapter's seconds do not look like a window that hangs.
std::string WaitWords(const WaitReport& wait);
// The same line while the firmware goes out.
std::string ProgressWords(int percent);

}  // namespace zorbent::ui
