// A platform whose one serial line plays a script: each read window delivers the next chunk of
// the script, and a window past the script's end is silent. Writes succeed unless told to fail.
// It serves the fuzz targets that drive the command exchange with bytes of their choosing.
#ifndef BRIVANTA_FUZZ_SCRIPTED_LINE_H
#define BRIVANTA_FUZZ_SCRIPTED_LINE_H

#include <cstdint>
#include <vector>

namespace scripted_line {

// Replaces the script; reads deliver `windows` in order. `failWrites` makes every write fail.
void play(std::vector<std::vector<uint8_t>> windows, bool failWrites);
// How many reads the program has made since play().
int readsMade();

}  // namespace scripted_line

#endif  // BRIVANTA_FUZZ_SCRIPTED_LINE_H
