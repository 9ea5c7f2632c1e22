#pragma once

namespace zorbent::sim {

// "make-image": writes one firmware file from the builder's options. 0 written, 1 the
// options cannot make an image or the file cannot be written, 2 bad arguments (a fault the
// family or the records cannot carry among them).
int MakeImageMain(int argc, char** argv);

}  // namespace zorbent::sim
