#pragma once

namespace zorbent {

// Makes the nth Thread started from now by the calling thread fail as if the system had
// refused it (1: the next one; 0: none). Threads started by other threads are not counted.
// Every test binary links this in place of the program's StartSystemThread.
void FailThreadStartForTesting(int nth);

}  // namespace zorbent
