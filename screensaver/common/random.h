// The screen saver's one random source.
//
// Normally: 31-bit numbers from the system's cryptographic generator. In
// debug mode: a per-thread deterministic generator that every thread seeds
// with 1 when it starts, so a debug run lays out the same collages every
// time. Each thread that draws numbers calls SeedThreadRandom() first.
#pragma once

#include <cstdint>

namespace quol::saver {

// Chooses the source for the whole process (set once, at start-up).
void SetDebugRandom(bool debug);
bool DebugRandom();

// Seeds the calling thread's deterministic generator: with 1 in debug mode,
// else with the tick count (it then only serves when the system generator
// fails).
void SeedThreadRandom();
// Tests: seed the calling thread's generator explicitly.
void SeedThreadRandomWith(std::uint32_t seed);

// A uniform non-negative 31-bit number.
std::uint32_t Random31();
// 0 when n <= 0, else Random31() mod n.
int RandomBelow(int n);

}  // namespace quol::saver
