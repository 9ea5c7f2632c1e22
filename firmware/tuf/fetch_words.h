#pragma once

// The words for a failed download, from the facts platform/http returns: what failed, the
// address, the system's own text, and what to do. Toolkit-free, for every front end.

#include <string>

#include "platform/http.h"

namespace zorbent {

// One or two sentences, ending with a full stop; empty for a download that did not fail.
std::string FetchSentence(const FetchResult& result);

}  // namespace zorbent
